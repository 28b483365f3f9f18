#pragma once

#include "common/ResolverStatus.h"

#include <QJsonObject>
#include <QList>
#include <QWidget>

class ClickableFrameProtocol;
class ClickableFrameWrap;
class PageHeader;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QMovie;
class QPlainTextEdit;
class QPushButton;
class UpdateCheck;
class QStackedWidget;
class TableWidget;
class TableWidgetNetInter;

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

    // `text` cut to `keep` characters plus an ellipsis when it is longer.
    static QString cutText(const QString& text, int keep);
    // "dd.mm.yyyy" as "dd Mon. yyyy"; false when the value does not split
    // into three parts.
    static bool formatDate(const QString& value, QString* shown);
    // The debug report (a JSON array of {"log_name", "log_message"}) as text;
    // empty for anything else.
    static QString formatDebug(const QString& json);
    // The line the page and the tray tooltip show for the agent's resolver
    // state; empty while queries are filtered as chosen (or not yet known).
    static QString resolverStatusText(const ResolverStatus& status);

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
    void slotPolicy();
    void slotSystemInfoButton();
    void slotDebugButton();
    void slotSettingsButton();
    void slotCopy();
    void slotUpdate();
    void slotProfileClicked(int row);
    void slotNetInterfaceClicked(int row);
    void slotChangeDnsProtocol();
    void slotChangeFilteringStatus(bool checked);

public:
    // Shows `text` under the account summary; an empty text hides the line.
    void setResolverText(const QString& text);
    void showLoading(const QString& text);
    void hideLoading();
    void warningLoading(const QString& text);

private:
    void showSection(Section section);
    QWidget* buildNavigation();
    QWidget* buildSummary();
    QWidget* buildPolicy();
    QWidget* buildSystemInfo();
    QWidget* buildDebug();
    QWidget* buildSettings();
    QWidget* buildOverlay(QWidget* parent);

    PageHeader* pageHeader;
    QLabel* userName = nullptr;
    QLabel* ip = nullptr;
    QLabel* planName = nullptr;
    QLabel* dateEnd = nullptr;
    QLabel* dateCaption = nullptr;
    QCheckBox* protection = nullptr;
    QLabel* resolverLine = nullptr;
    QButtonGroup* navigation = nullptr;
    QStackedWidget* sections = nullptr;
    ClickableFrameWrap* policyWrap = nullptr;
    TableWidget* profiles = nullptr;
    QPlainTextEdit* systemInfo = nullptr;
    QPlainTextEdit* debug = nullptr;
    QCheckBox* enableLogging = nullptr;
    QList<ClickableFrameProtocol*> protocols;
    TableWidgetNetInter* interfaces = nullptr;
    QPushButton* updateButton = nullptr;
    UpdateCheck* updateCheck = nullptr;
    QWidget* overlay = nullptr;
    QLabel* overlayAnimation = nullptr;
    QLabel* overlayText = nullptr;
    QMovie* loaderMovie = nullptr;
};
