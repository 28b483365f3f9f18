#pragma once

#include "backend/INetwork.h"

#include <QJsonArray>
#include <QString>

#include <functional>

class QUrl;

// The backend's REST API in directory (AD) mode: the account is identified by
// an access key, and the machine's domain, its console user and that user's
// directory groups are registered with the backend so that profiles can be
// assigned per directory user and group.
//
// Tokens, the account number, the backend's numbers for the domain and the
// directory user, and the registration state are process-wide (agent thread).
// The registration runs in the constructor once armed by newUser().
class RestAD : public INetwork
{
    Q_OBJECT

public:
    enum Registration : int
    {
        registerNext = 0, // register at the next construction
        notArmed = 1,     // nothing due, or a registration is running
        registered = 2
    };

    explicit RestAD(QObject* parent = nullptr);

    // Makes NetworkAccessManager build this binding in directory mode.
    static void registerBinding();

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

    bool auth();
    bool verify(const QString& token);
    bool refreshTokens();
    bool preparation();

    bool checkDomain();
    bool addDomain();
    bool checkUser();
    // Brings the backend's group memberships in line with the directory and
    // creates the missing groups. True when the group list and the directory
    // could be read and every change and every creation was accepted; a user
    // without directory groups is therefore a success (memberships of groups
    // the user left are still removed). The first refused change stops it; a
    // refused creation does not stop the others but makes the result false.
    bool checkGroups();
    bool addGroups(const QString& name);
    bool changeUsersToGroup(int groupId, const QString& name, const QJsonArray& users);

    // Request bodies, written with a JSON writer.
    static QByteArray domainBody(const QString& domain);
    static QByteArray userBody(const QString& user, const QString& domain, const QString& hostName,
                               const QString& osInfo);
    static QByteArray groupBody(const QString& name, int domainId, const QJsonArray& users);

    // The process-wide state.
    static int registrationState();
    static int domainId();
    static int adUserId();
    static int userId();
    static QString accessToken();
    // Everything back to the start of the process (tests).
    static void resetState();

private:
    void registerDirectory();
    bool preparationRound(int round);
    bool takeTokens(const QByteArray& body);
    QNetworkRequest request(const QUrl& url, bool authorised) const;
    QUrl adUrl(const QString& path) const;
    // One registration request (signed in already) with its log lines. False
    // on a reply error; `answer` holds the body.
    bool exchange(const char* name, const QByteArray& method, const QUrl& url, const QByteArray& body,
                  QByteArray& answer);
    ApiResult getOperation(const char* name, const std::function<QUrl()>& address,
                           QJsonObject (*reduce)(const QJsonObject&));
};
