#pragma once

#include "backend/INetwork.h"

#include <functional>

// The backend's REST API, signed in with the account's login and password.
// The access and refresh tokens and the account number are kept for the life
// of the process, shared by every RestLocal object, and used on the agent
// thread only.
class RestLocal : public INetwork
{
    Q_OBJECT

public:
    // How many times one preparation may exchange a token that then still
    // fails the expiry check (a clock far ahead of the backend's) before the
    // operation gives up.
    static constexpr int maxRefreshRounds = 2;

    explicit RestLocal(QObject* parent = nullptr);

    ApiResult getFilteringStatus() override;
    ApiResult getCertificates() override;
    ApiResult getVersion(const QString& tag) override;
    ApiResult checkAuth(const QString& credentials) override;
    ApiResult checkUid() override;
    ApiResult getUid() override;
    ApiResult setProfile(const unsigned int& profileId) override;
    ApiResult getIp() override;
    ApiResult getUserInfo() override;
    ApiResult getProfiles() override;
    ApiResult sendDebugInfo(const QString& debugInfo) override;
    ApiResult removeAgentProfile() override;
    void newUser() override;

    // Sign in with the login and password held in memory and keep the tokens.
    bool auth();
    // True when the token's expiry lies in the future.
    bool verify(const QString& token);
    // Exchange the refresh token for new tokens.
    bool refreshTokens();
    // Make sure a valid access token is held.
    bool preparation();

    // Sign-out: both tokens empty, account number -1.
    static void clearTokens();

    // The process-wide state, for the agent's own checks.
    static QString accessToken();
    static QString refreshToken();
    static int userId();

private:
    bool preparationRound(int round);
    // Reads the tokens of a by-password or refresh answer; true when the new
    // access token names the account.
    bool takeTokens(const QByteArray& body);
    QNetworkRequest request(const QUrl& url, bool authorised) const;
    // The shared shape of the simple GET operations.
    ApiResult getOperation(const char* name, const std::function<QUrl()>& address,
                           QJsonObject (*reduce)(const QJsonObject&));
};
