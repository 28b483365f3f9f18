#pragma once

#include <QJsonObject>
#include <QObject>

// The three sign-in exchanges (check the sign-in data, create the PIN, check
// the PIN). Each result is {"status": <int>}.
class IAuth : public QObject
{
    Q_OBJECT

public:
    explicit IAuth(QObject* parent = nullptr);

    // Status values of the results.
    static constexpr int checkAuthRefused = 0;
    static constexpr int checkAuthOk = 1;
    static constexpr int checkAuthTransportError = 2;
    static constexpr int createPinOk = 1;
    static constexpr int createPinRefused = 2;
    static constexpr int checkPinWrong = 0;
    static constexpr int checkPinOk = 1;
    static constexpr int checkPinUidRefused = 3;
    static constexpr int checkPinBackendDown = 4;
    static constexpr int minPinLength = 4;
    static constexpr int maxPinLength = 20;

    static bool pinLengthAccepted(const QString& pin);
    static QJsonObject status(int value);

signals:
    void signalStatusCheckAuth(QJsonObject status);
    void signalStatusCreatePin(QJsonObject status);
    void signalStatusCheckPin(QJsonObject status);

public slots:
    virtual void slotCheckAuth(const QJsonObject& jObj) = 0;
    virtual void slotCreatePin(const QJsonObject& jObj) = 0;
    virtual void slotCheckPin(const QJsonObject& jObj) = 0;
};
