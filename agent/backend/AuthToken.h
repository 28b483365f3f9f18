#pragma once

#include "backend/IAuth.h"

// Sign-in with an access key (directory mode).
class AuthToken : public IAuth
{
    Q_OBJECT

public:
    explicit AuthToken(QObject* parent = nullptr);

public slots:
    void slotCheckAuth(const QJsonObject& jObj) override;
    void slotCreatePin(const QJsonObject& jObj) override;
    void slotCheckPin(const QJsonObject& jObj) override;
};
