#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class Certificate;

// Keeps the machine's trusted root store in step with the service: exactly
// the expected number of the service's root certificates, none about to
// expire; otherwise all of them are removed and the current set that the
// backend names is downloaded and imported.
class CheckerCertificate : public QObject
{
    Q_OBJECT

public:
    static constexpr int firstIntervalMs = 10000;
    static constexpr int expectedCount = 2;
    static constexpr int expiryDays = 10;

    explicit CheckerCertificate(QObject* parent = nullptr);

    // True when the installed set is complete and none expires soon.
    static bool checkCertificates();
    // True when exactly the expected number of the service's certificates is installed.
    static bool showCertificates();
    // Removes all of the service's certificates; true on success.
    static bool deleteCertificates();

    // Asks the backend for the current list and starts a new batch.
    void getCrts();

    QList<Certificate*> getBatch() const { return certificates; }
    QTimer* getTimer() { return &timer; }
    int getCheckInterval() const { return checkInterval; }

signals:
    void signalError(QString errorString);

public slots:
    // The periodic check.
    void slotCheck();

private:
    QTimer timer;
    QList<Certificate*> certificates;
    int checkInterval = 60000;
};
