#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// Addresses of the backend's REST API below a base address
// ("https://www." + the API domain). Values that come from outside (the
// machine identifier from the store, the distribution tag) are percent-encoded
// so that they stay inside their path segment or query value.
class BackendUrl
{
public:
    static QUrl byPassword(const QString& base);
    static QUrl refresh(const QString& base);
    static QUrl version(const QString& base, const QString& tag);
    static QUrl filterStatus(const QString& base, int userId);
    static QUrl agentInfo(const QString& base, int userId);
    static QUrl agentInfo(const QString& base, int userId, const QString& uid);
    static QUrl ip(const QString& base);
    static QUrl userInfo(const QString& base, int userId);
    static QUrl profiles(const QString& base, int userId);
    static QUrl certificates(const QString& base);
    // The value of an "Authorization" header carrying the account's login and
    // password (HTTP Basic). Credentials never travel in the address: Qt puts
    // the whole address into its error texts, and those reach the log.
    static QByteArray basicAuthorization(const QString& login, const QString& password);
    // An address for the log: never with user info, and the machine id masked.
    static QString forLog(const QUrl& url);

private:
    static QUrl make(const QString& base, const QString& path, const QString& query = QString());
};
