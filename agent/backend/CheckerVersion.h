#pragma once

#include "common/ControlStatus.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

class QTimer;

// Asks the backend which agent version is current for this kind of system and
// reports whether an update exists ("VERSIONS" for the GUI). After the first
// check it repeats every hour.
class CheckerVersion : public QObject
{
    Q_OBJECT

public:
    static constexpr int repeatMs = 3600000;

    // Values of "status" in the report.
    static constexpr int statusNotComparable = ControlStatus::versionNotComparable;
    static constexpr int statusSame = ControlStatus::versionSame;
    static constexpr int statusNewer = ControlStatus::versionNewer;

    explicit CheckerVersion(QString version, QObject* parent = nullptr);
    ~CheckerVersion() override;

    // The distribution tag of this machine, from its product name.
    QString getTagOs() const;
    // The first of the known distribution words found in `productName`
    // ("AlterOS" is tried before "Alt"); empty when there is none.
    static QString tagForProductName(const QString& productName);
    // 2 when `offered` is newer than `current`, 1 when equal, 0 otherwise or
    // when either is not three dot-separated parts.
    static int comparisonVersion(const QString& current, const QString& offered);
    // Builds the report from what is held and emits it.
    void checkGetVersion();

    // The "VERSIONS" object.
    static QJsonObject versionsObject(int status, const QString& current, const QString& offered,
                                      const QString& url);

    QTimer* getTimer() const { return timer; }

signals:
    void signalVersions(QJsonObject versions);

public slots:
    void slotGetVersion();

private:
    QTimer* timer = nullptr;
    QString currentVersion;
    QString newVersion;
    QString url;
};
