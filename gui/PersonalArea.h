#pragma once

#include <QJsonObject>
#include <QWidget>

class PageHeader;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QTableWidget;

// The signed-in user's page: account summary, filtering profiles, system and
// debug information, and the agent's settings.
class PersonalArea : public QWidget
{
    Q_OBJECT
public:
    // The sections of the page, in the order of the navigation buttons.
    enum Section
    {
        POLICY = 0,
        SYSTEM_INFO = 1,
        DEBUG = 2,
        SETTINGS = 3
    };

    PersonalArea(QWidget* parent, const QString& appName);

    PageHeader* header() const { return pageHeader; }
    int getSection() const;
    QString getUserName() const;
    QString getIp() const;
    QString getPlanName() const;
    QString getDateEnd() const;
    QString getSystemInfo() const;
    QString getDebug() const;
    bool isFilteringOn() const;
    int getDnsProtocol() const;
    bool isStatusLogOn() const;
    QTableWidget* profilesTable() const { return profiles; }
    QTableWidget* interfacesTable() const { return interfaces; }

signals:
    void signalLogout();
    void signalClose();
    void signalGetUpdate();
    void signalGetProfiles();
    void signalGetProfileId();
    void signalGetSystemInfo();
    void signalGetDebug();
    void signalGetSettings();
    void signalSendDebugInfo();
    void signalChangeStatusLog();
    void signalFilteringStatus(QJsonObject data);
    void signalSetProfileId(QJsonObject data);
    void signalChangeDnsProtocol(QJsonObject data);
    void signalChangeNetInterface(QJsonObject data);
    void signalNewVersion(bool status);

public slots:
    void slotShow();
    void slotUserInfo(QJsonObject data);
    void slotFilteringStatus(QJsonObject data);
    void slotProfiles(QJsonObject data);
    void slotProfileId(QJsonObject data);
    void slotSystemInfo(QJsonObject data);
    void slotDebug(QJsonObject data);
    void slotNetInterfaces(QJsonObject data);
    void slotDnsProtocol(QJsonObject data);
    void slotNewVersion(bool status);
    void slotStatusLog(bool status);
    void slotStatusAd(bool status);

private:
    void showSection(Section section);
    QWidget* buildPolicy();
    QWidget* buildSystemInfo();
    QWidget* buildDebug();
    QWidget* buildSettings();

    PageHeader* pageHeader;
    QLabel* userName;
    QLabel* ip;
    QLabel* planName;
    QLabel* dateEnd;
    QCheckBox* protection;
    QButtonGroup* navigation;
    QStackedWidget* sections;
    QTableWidget* profiles = nullptr;
    QPlainTextEdit* systemInfo = nullptr;
    QPlainTextEdit* debug = nullptr;
    QCheckBox* enableLogging = nullptr;
    QButtonGroup* protocols = nullptr;
    QTableWidget* interfaces = nullptr;
    QPushButton* updateButton;
    QLabel* notice;
};
