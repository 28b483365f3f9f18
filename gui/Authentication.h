#pragma once

#include <QJsonObject>
#include <QWidget>

class PageHeader;
class QLabel;
class QMovie;
class QPushButton;
class QVBoxLayout;

// Common base of the two sign-in forms (e-mail and password, access key).
class Authentication : public QWidget
{
    Q_OBJECT
public:
    // The "status" of "STATUSCHECKAUTH".
    enum StatusCheckAuth : int
    {
        WRONG_DATA = 0,
        SUCCESS = 1,
        NETWORK_ERROR = 2
    };
    Q_ENUM(StatusCheckAuth)

    Authentication(QWidget* parent, const QString& appName);

    virtual void showEnter() = 0;
    virtual void setStatusWrong(QString text) = 0;
    virtual void setCheckAuth(Authentication::StatusCheckAuth status) = 0;

    QString getStatusText() const;
    bool isLoading() const;
    quint16 getCount() const { return count; }

signals:
    void signalClose();
    void signalGetUpdate();
    void signalCheckAuth(QJsonObject data);
    void signalChangeStatusLog();
    void signalNewVersion(bool status);

public slots:
    virtual void slotClear() = 0;
    virtual void slotStatusLog(bool status) = 0;
    virtual void slotStatusAd(bool status) = 0;
    void slotNewVersion(bool status);

protected:
    // The text every form shows when the service could not be reached.
    static QString networkErrorText();
    void showLoading(bool shown);
    // Lays out the common parts around the form's own fields.
    void finishLayout(QWidget* fields);

    PageHeader* pageHeader;
    QLabel* statusLabel;
    QPushButton* signInButton;
    QPushButton* updateButton;
    QLabel* loading;
    QMovie* loaderMovie;
    quint16 count = 0;
};
