#pragma once

#include "backend/IAuth.h"

// Sign-in with the account's login and password (standard mode).
class AuthLogin : public IAuth
{
    Q_OBJECT

public:
    explicit AuthLogin(QObject* parent = nullptr);

    // Asks the backend for a new identifier of this machine and stores it
    // with the account token and profile; false when none was issued.
    bool getUid();
    // Confirms the stored identifier: 1 confirmed (or a new one issued),
    // 0 refused, 2 backend unreachable with an identifier on file.
    int checkUid();

public slots:
    void slotCheckAuth(const QJsonObject& jObj) override;
    void slotCreatePin(const QJsonObject& jObj) override;
    void slotCheckPin(const QJsonObject& jObj) override;
};
