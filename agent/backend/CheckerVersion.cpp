#include "backend/CheckerVersion.h"

#include "backend/BackendLogging.h"
#include "backend/NetworkAccessManager.h"
#include "common/PayloadKeys.h"
#include "settings/ConstData.h"

#include <QJsonDocument>
#include <QStringList>
#include <QTimer>

namespace {

// A version part as an unsigned decimal number; anything else (letters, a sign,
// a number too large to hold) counts as 0.
quint64 partValue(const QString& part)
{
    bool ok = false;
    const quint64 value = part.toULongLong(&ok, 10);
    if (!ok)
        return 0;
    for (const QChar c : part) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
    }
    return value;
}

} // namespace

CheckerVersion::CheckerVersion(QString version, QObject* parent)
    : QObject(parent), timer(new QTimer()), currentVersion(std::move(version))
{
    timer->setInterval(repeatMs);
    connect(timer, &QTimer::timeout, this, &CheckerVersion::slotGetVersion);
    qCInfo(checker_version) << "CREATE";
}

CheckerVersion::~CheckerVersion()
{
    // The timer has no parent: it goes with this object.
    delete timer;
}

QString CheckerVersion::tagForProductName(const QString& productName)
{
    static const char* const candidates[] = {"Debian", "AlterOS", "Alt",   "Ubuntu", "Astra",
                                             "CentOS", "Fedora",  "PopOS", "Windows"};
    for (const char* candidate : candidates) {
        const QString word = QLatin1String(candidate);
        if (productName.contains(word, Qt::CaseSensitive))
            return word;
    }
    return QString();
}

QString CheckerVersion::getTagOs() const
{
    const QString productName = ConstData::getOS();
    const QString tag = tagForProductName(productName);
    qCDebug(checker_version) << "getTagOs" << tag << productName;
    return tag;
}

int CheckerVersion::comparisonVersion(const QString& current, const QString& offered)
{
    const QStringList mine = current.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    const QStringList theirs = offered.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (mine.size() != 3 || theirs.size() != 3)
        return statusNotComparable;
    for (int i = 0; i < 3; ++i) {
        const quint64 a = partValue(mine.at(i));
        const quint64 b = partValue(theirs.at(i));
        if (a < b)
            return statusNewer;
        if (a > b)
            return statusNotComparable;
    }
    return statusSame;
}

QJsonObject CheckerVersion::versionsObject(int status, const QString& current, const QString& offered,
                                           const QString& address)
{
    return QJsonObject{{PayloadKeys::Status, status},
                       {PayloadKeys::CurrVersion, current},
                       {PayloadKeys::GetVersion, offered},
                       {PayloadKeys::Url, address}};
}

void CheckerVersion::slotGetVersion()
{
    timer->start();
    const QString tag = getTagOs();
    if (tag.isEmpty()) {
        checkGetVersion();
        return;
    }

    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.getVersion(tag);
    }
    if (result.error != 0) {
        qCCritical(checker_version).noquote() << "REPLY ERROR getVersion" << result.errorString;
        return;
    }
    const QString offeredUrl = result.data.value(QLatin1String("url")).toString();
    qCDebug(checker_version).noquote()
        << "RESPONSE getVersion:"
        << QString::fromUtf8(QJsonDocument(result.data).toJson(QJsonDocument::Compact)) << offeredUrl;
    url = offeredUrl;
    newVersion = result.data.value(QLatin1String("version")).toString();
    if (url.isEmpty() || newVersion.isEmpty()) {
        qCCritical(checker_version) << "NO DATA getVersion";
        return;
    }
    checkGetVersion();
}

void CheckerVersion::checkGetVersion()
{
    const int status = comparisonVersion(currentVersion, newVersion);
    if (status == statusNotComparable)
        qCWarning(checker_version).noquote() << "ERROR VERSION" << currentVersion << newVersion;
    const QJsonObject versions = versionsObject(status, currentVersion, newVersion, url);
    newVersion.clear();
    emit signalVersions(versions);
}
