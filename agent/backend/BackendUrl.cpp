#include "backend/BackendUrl.h"

#include "logging/LogMask.h"
#include "settings/UserData.h"

#include <QUrlQuery>

namespace {

QString segment(const QString& value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

} // namespace

QUrl BackendUrl::make(const QString& base, const QString& path, const QString& query)
{
    QUrl url(base + path, QUrl::StrictMode);
    if (!query.isNull())
        url.setQuery(query, QUrl::StrictMode);
    return url;
}

QUrl BackendUrl::byPassword(const QString& base)
{
    return make(base, QStringLiteral("/api/token/by-password/"));
}

QUrl BackendUrl::refresh(const QString& base)
{
    return make(base, QStringLiteral("/api/token/refresh/"));
}

QUrl BackendUrl::version(const QString& base, const QString& tag)
{
    return make(base, QStringLiteral("/agents/rest_api/v1/distribution_supporting/"),
                QStringLiteral("tag=") + segment(tag));
}

QUrl BackendUrl::filterStatus(const QString& base, int userId)
{
    return make(base, QStringLiteral("/rest_api/v1/users/") + QString::number(userId) +
                          QStringLiteral("/filter_status/"));
}

QUrl BackendUrl::agentInfo(const QString& base, int userId)
{
    return make(base, QStringLiteral("/agents/rest_api/v1/users/") + QString::number(userId) +
                          QStringLiteral("/agentinfo/"));
}

QUrl BackendUrl::agentInfo(const QString& base, int userId, const QString& uid)
{
    return make(base, QStringLiteral("/agents/rest_api/v1/users/") + QString::number(userId) +
                          QStringLiteral("/agentinfo/") + segment(uid) + QLatin1Char('/'));
}

QUrl BackendUrl::ip(const QString& base)
{
    return make(base, QStringLiteral("/cabinet/rest_api/v1/ip/"));
}

QUrl BackendUrl::userInfo(const QString& base, int userId)
{
    return make(base,
                QStringLiteral("/auth/rest_api/v1/users/") + QString::number(userId) + QLatin1Char('/'));
}

QUrl BackendUrl::profiles(const QString& base, int userId)
{
    return make(base, QStringLiteral("/cabinet/rest_api/v1/users/") + QString::number(userId) +
                          QStringLiteral("/profiles/"));
}

QUrl BackendUrl::certificates(const QString& base)
{
    return make(base, QStringLiteral("/agents/rest_api/v1/ssl_certificate/2/"));
}

QByteArray BackendUrl::basicAuthorization(const QString& login, const QString& password)
{
    return QByteArrayLiteral("Basic ") + QString(login + QLatin1Char(':') + password).toUtf8().toBase64();
}

QString BackendUrl::forLog(const QUrl& url)
{
    // The machine id is a path segment of the agent's own URLs.
    return LogMask::hidden(url.toString(QUrl::RemoveUserInfo), UserData::savedUidForMask());
}
