#pragma once

#include "common/ControlStatus.h"

#include <QJsonObject>
#include <QPointer>
#include <QUrl>
#include <QWidget>

class PageHeader;
class QLabel;

// The update notice: reports whether the agent has a newer version and
// offers its download.
class CheckerVersion : public QWidget
{
    Q_OBJECT
public:
    // The "status" of "VERSIONS": 0 the check failed, 1 this version is
    // current, 2 a newer version exists.
    enum StatusVersion : int
    {
        ERROR_VERSION = ControlStatus::versionNotComparable,
        REQUIRE_VERSION = ControlStatus::versionSame,
        NEW_VERSION = ControlStatus::versionNewer
    };
    Q_ENUM(StatusVersion)

    CheckerVersion(QWidget* parent, const QString& appName);

    void setStatus(StatusVersion status);
    void setBackWidget(QWidget* widget) { backWidget = widget; }
    QWidget* getBackWidget() const { return backWidget; }
    // The address "Download" opens; no widget shows it.
    QUrl getDownloadUrl() const { return downloadUrl; }

signals:
    void signalChangeStatus();
    void signalClose();
    void signalRemindLater();
    void signalGetVersion();
    void signalChangeStatusLog();
    void signalNewVersion(bool status);
    void signalError(QString text);

public slots:
    void slotVersions(QJsonObject data);
    void slotShow();
    void slotStatusLog(bool status);
    void slotStatusAd(bool status);
    void slotDownload();

private:
    // Stores the status and reports it; false for a value outside 0..2.
    bool applyStatus(int value);

    PageHeader* pageHeader;
    QLabel* installText;
    QUrl downloadUrl;
    StatusVersion status = ERROR_VERSION;
    QPointer<QWidget> backWidget;
};
