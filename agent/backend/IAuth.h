#pragma once

#include "common/ControlStatus.h"

#include <QJsonObject>
#include <QObject>

// The three sign-in exchanges (check the sign-in data, create the PIN, check
// the PIN). Each result is {"status": <int>}, one of the control channel's
// status values (ControlStatus), which the sign-in objects name as their own.
class IAuth : public QObject, public ControlStatus
{
    Q_OBJECT

public:
    explicit IAuth(QObject* parent = nullptr);

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
