#include "UserData.h"

#include "ConstData.h"
#include "LogMask.h"
#include "LoggingCategories.h"
#include "MachineInfo.h"
#include "Platform.h"
#include "RegistryStore.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkInterface>
#include <QReadLocker>
#include <QReadWriteLock>
#include <QSysInfo>
#include <QTextCodec>
#include <QWriteLocker>

#include <atomic>
#include <chrono>
#include <limits>

namespace {

const QString groupControl = QStringLiteral("CONTROL");
const QString groupUser = QStringLiteral("USER");
const QString groupInterfaces = QStringLiteral("CONTROL/NETWORK_INTER");
const QString groupUninstall = QStringLiteral("CONTROL/UNINSTALL");
const QString groupCoord = QStringLiteral("GUI/COORD/WIN");

// A stored value older than this is read again from the store.
constexpr qint64 refreshMs = 1000;
constexpr qint64 never = std::numeric_limits<qint64>::min() / 2;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::unique_ptr<QSettings> openStore()
{
    return RegistryStore::open(ConstData::getAddressConf());
}

// The settings the DNS threads read for every query.
struct HotValues
{
    bool statusLog = true;
    quint32 protocol = 0;
    int controlDns = 0;
    bool noAd = true;
    QString dnsIpV4;
    QString dnsIpV6;
    QString dnsHost;
    QString apiDomain;
};

// Reads a text value; when it is absent, empty or `rejected`, stores and
// returns `fallback` instead.
QString textWithDefault(QSettings& store, const QString& key, const QString& fallback, bool& wrote,
                        const QString& rejected = QString())
{
    const QString value = store.value(key).toString();
    if (!value.isEmpty() && (rejected.isEmpty() || value != rejected))
        return value;
    store.setValue(key, fallback);
    wrote = true;
    return fallback;
}

HotValues loadHotValues()
{
    HotValues values;
    auto store = openStore();
    store->beginGroup(groupControl);
    bool wrote = false;
    const QVariant log = store->value(QStringLiteral("LOG_STATUS"));
    if (!log.isValid() || log.toString().isEmpty()) {
        store->setValue(QStringLiteral("LOG_STATUS"), true);
        wrote = true;
    } else {
        values.statusLog = log.toBool();
    }
    bool isNumber = false;
    const quint32 protocol =
        textWithDefault(*store, QStringLiteral("DNS_TYPE_PROTOCOL"), QStringLiteral("0"), wrote).toUInt(&isNumber);
    values.protocol = isNumber ? protocol : 0;
    values.dnsIpV4 = textWithDefault(*store, QStringLiteral("DNS_IP_V4"), ConstData::getDnsIpV4(), wrote,
                                     ConstData::getLocalHostV4());
    values.dnsIpV6 = textWithDefault(*store, QStringLiteral("DNS_IP_V6"), ConstData::getDnsIpV6(), wrote,
                                     ConstData::getLocalHostV6());
    values.dnsHost = textWithDefault(*store, QStringLiteral("DNS_DOMAIN"),
                                     QStringLiteral("doh.") + ConstData::getDomainName(), wrote);
    values.apiDomain = textWithDefault(*store, QStringLiteral("API_DOMAIN"), ConstData::getDomainName(), wrote);
    values.controlDns = store->value(QStringLiteral("DNS_TYPE_PROTECTION"), 0).toInt();
    const QVariant noAd = store->value(QStringLiteral("NO_AD"));
    if (!noAd.isValid() || noAd.toString().isEmpty()) {
        store->setValue(QStringLiteral("NO_AD"), true);
        wrote = true;
    } else {
        values.noAd = noAd.toBool();
    }
    store->endGroup();
    if (wrote)
        store->sync();
    return values;
}

class HotCache
{
public:
    template <typename Read> auto read(Read reader)
    {
        const qint64 now = nowMs();
        {
            QReadLocker lock(&mutex);
            if (now - loadedAt < refreshMs)
                return reader(values);
        }
        QWriteLocker lock(&mutex);
        if (now - loadedAt >= refreshMs) {
            values = loadHotValues();
            loadedAt = nowMs();
        }
        return reader(values);
    }

    // Stores one value and makes it visible to the next read at once.
    template <typename Update> void write(const QString& key, const QVariant& value, Update update)
    {
        {
            auto store = openStore();
            store->beginGroup(groupControl);
            store->setValue(key, value);
            store->endGroup();
            store->sync();
        }
        QWriteLocker lock(&mutex);
        if (loadedAt == never) {
            values = loadHotValues();
            loadedAt = nowMs();
        }
        update(values);
    }

    void invalidate()
    {
        QWriteLocker lock(&mutex);
        loadedAt = never;
    }

private:
    QReadWriteLock mutex;
    HotValues values;
    qint64 loadedAt = never;
};

HotCache& hot()
{
    static HotCache cache;
    return cache;
}

// In-memory account state.
QMutex memoryMutex;
QString memLogin;
QString memPassword;
QString memAuthToken;
QString memUsername;
QStringList memSavedV4;
QStringList memSavedV6;
std::atomic<quint32> memProfileId{0};
std::atomic<int> tokenCache{-1};
std::atomic<qint64> tokenReadAt{never};

QString memoryValue(const QString& value)
{
    QMutexLocker lock(&memoryMutex);
    return value;
}

void setMemoryValue(QString& target, const QString& value)
{
    QMutexLocker lock(&memoryMutex);
    target = value;
}

// Stored sign-in data back to text: nothing when it is not strict Base64 of UTF-8 text.
QString decodeSignIn(const QByteArray& base64)
{
    const auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return QString();
    QTextCodec::ConverterState state;
    const QString text = QTextCodec::codecForName("UTF-8")->toUnicode(decoded.decoded.constData(),
                                                                    decoded.decoded.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0)
        return QString();
    return text;
}

QByteArray pinDigest(const QString& pin, const QByteArray& base64)
{
    return QCryptographicHash::hash(pin.toUtf8() + base64, QCryptographicHash::Sha512);
}

} // namespace

// ---- CONTROL ----

bool UserData::getStatusLog()
{
    return hot().read([](const HotValues& v) { return v.statusLog; });
}

void UserData::setStatusLog(bool status)
{
    hot().write(QStringLiteral("LOG_STATUS"), status, [status](HotValues& v) { v.statusLog = status; });
}

void UserData::setStatusLog()
{
    setStatusLog(!getStatusLog());
}

UserData::ETypeOfDnsProtocol UserData::getDnsProtocol()
{
    return static_cast<ETypeOfDnsProtocol>(hot().read([](const HotValues& v) { return v.protocol; }));
}

void UserData::setDnsProtocol(ETypeOfDnsProtocol protocol)
{
    const quint32 number = protocol;
    hot().write(QStringLiteral("DNS_TYPE_PROTOCOL"), QString::number(number),
                [number](HotValues& v) { v.protocol = number; });
}

QString UserData::getDnsIpV4()
{
    return hot().read([](const HotValues& v) { return v.dnsIpV4; });
}

QString UserData::getDnsIpV6()
{
    return hot().read([](const HotValues& v) { return v.dnsIpV6; });
}

QString UserData::getDnsHost()
{
    return hot().read([](const HotValues& v) { return v.dnsHost; });
}

QString UserData::getDnsDomain()
{
    const QUrl url(QStringLiteral("https://") + getDnsHost(), QUrl::TolerantMode);
    qCDebug(user_data) << url.host();
    return url.toString();
}

QString UserData::getDomainName()
{
    return hot().read([](const HotValues& v) { return v.apiDomain; });
}

int UserData::getControlDNS()
{
    return hot().read([](const HotValues& v) { return v.controlDns; });
}

void UserData::setControlDNS(StatusControlDns status)
{
    const int number = status;
    hot().write(QStringLiteral("DNS_TYPE_PROTECTION"), number, [number](HotValues& v) { v.controlDns = number; });
}

bool UserData::getNoAdWork()
{
    return hot().read([](const HotValues& v) { return v.noAd; });
}

void UserData::setNoAdWork(bool noAd)
{
    hot().write(QStringLiteral("NO_AD"), noAd, [noAd](HotValues& v) { v.noAd = noAd; });
}

bool UserData::isAdMode()
{
    return ConstData::getWorkingMode().first == 2 && !getNoAdWork();
}

// ---- CONTROL/NETWORK_INTER ----

bool UserData::parseNetInter(const QString& value, NetInter& result)
{
    const QStringList parts = value.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (parts.size() < 2)
        return false;
    result.name = parts.at(0);
    result.status = parts.at(1) == QLatin1String("true");
    return true;
}

QMap<QString, UserData::NetInter> UserData::getNetworkInterfaces()
{
    QMap<QString, NetInter> interfaces;
    auto store = openStore();
    store->beginGroup(groupInterfaces);
    const QStringList keys = store->childKeys();
    for (const QString& key : keys) {
        NetInter entry;
        if (parseNetInter(store->value(key).toString(), entry))
            interfaces.insert(key, entry);
    }
    store->endGroup();
    return interfaces;
}

void UserData::setNetworkInterfaces(const QMap<QString, NetInter>& interfaces)
{
    auto store = openStore();
    store->beginGroup(groupInterfaces);
    for (auto it = interfaces.cbegin(); it != interfaces.cend(); ++it)
        store->setValue(it.key(), QString(it->name + QLatin1Char(':') +
                                          (it->status ? QStringLiteral("true") : QStringLiteral("false"))));
    store->endGroup();
    store->sync();
}

// ---- CONTROL/UNINSTALL ----

bool UserData::getCheckUninstallStatus()
{
    auto store = openStore();
    return store->value(groupUninstall + QStringLiteral("/STATUS"), false).toBool();
}

void UserData::setCheckUninstallStatus(bool status)
{
    auto store = openStore();
    if (status)
        store->setValue(groupUninstall + QStringLiteral("/STATUS"), true);
    else
        store->remove(groupUninstall);
    store->sync();
}

QString UserData::getCheckUninstallPin()
{
    auto store = openStore();
    const QString key = groupUninstall + QStringLiteral("/PIN");
    const QString pin = store->value(key, QString()).toString();
    store->remove(key);
    store->sync();
    return pin;
}

// ---- GUI/COORD/WIN ----

QJsonObject UserData::getCoordGui()
{
    auto store = openStore();
    store->beginGroup(groupCoord);
    QString x = store->value(QStringLiteral("X"), QString()).toString();
    QString y = store->value(QStringLiteral("Y"), QString()).toString();
    store->endGroup();
    if (x.isEmpty())
        x = QStringLiteral("null");
    if (y.isEmpty())
        y = QStringLiteral("null");
    return QJsonObject{{QStringLiteral("x"), x}, {QStringLiteral("y"), y}};
}

void UserData::setCoordGui(const QJsonObject& coordinates)
{
    auto store = openStore();
    store->beginGroup(groupCoord);
    store->setValue(QStringLiteral("X"), coordinates.value(QStringLiteral("x")).toVariant().toString());
    store->setValue(QStringLiteral("Y"), coordinates.value(QStringLiteral("y")).toVariant().toString());
    store->endGroup();
    store->sync();
}

// ---- USER ----

int UserData::getToken()
{
    const int cached = tokenCache.load();
    if (cached >= 0)
        return cached;
    // Signed out: the store is asked again at most once a second, so queries
    // made while no token exists do not each read the store.
    const qint64 now = nowMs();
    if (now - tokenReadAt.load() < refreshMs)
        return -1;
    auto store = openStore();
    const qint64 stored = store->value(groupUser + QStringLiteral("/TOKEN"), -1).toLongLong();
    const int token = static_cast<int>(static_cast<quint32>(stored));
    tokenCache.store(token);
    tokenReadAt.store(now);
    return token;
}

void UserData::setToken(quint32 id)
{
    {
        auto store = openStore();
        store->setValue(groupUser + QStringLiteral("/TOKEN"), id);
        store->sync();
    }
    tokenCache.store(static_cast<int>(id));
}

void UserData::saveUid(const QString& uid)
{
    if (ConstData::getWorkingMode().first != 1 && !getNoAdWork())
        return;
    auto store = openStore();
    store->setValue(groupUser + QStringLiteral("/UID"), uid);
    store->sync();
}

QString UserData::getSaveUid()
{
    QString uid;
    if (ConstData::getWorkingMode().first == 1 || getNoAdWork()) {
        auto store = openStore();
        uid = store->value(groupUser + QStringLiteral("/UID"), QString()).toString();
    }
    qCDebug(user_data) << "getSaveUid()" << uid;
    return uid;
}

// ---- sign-in data ----

void UserData::setLogin(const QString& login)
{
    setMemoryValue(memLogin, login);
}

QString UserData::getLogin()
{
    return memoryValue(memLogin);
}

void UserData::setPassword(const QString& password)
{
    setMemoryValue(memPassword, password);
}

QString UserData::getPassword()
{
    return memoryValue(memPassword);
}

void UserData::setAuthToken(const QString& token)
{
    qCDebug(user_data) << "setAuthToken" << LogMask::token(token);
    setMemoryValue(memAuthToken, token);
}

QString UserData::getAuthToken()
{
    QString token = memoryValue(memAuthToken);
    if (!token.isEmpty())
        return token;
    auto store = openStore();
    const auto decoded = QByteArray::fromBase64Encoding(
        store->value(groupUser + QStringLiteral("/AUTHDATA"), QByteArray()).toByteArray(),
        QByteArray::AbortOnBase64DecodingErrors);
    if (decoded && !decoded.decoded.isNull()) {
        const QByteArray& bytes = decoded.decoded;
        const int zero = bytes.indexOf('\0');
        token = QString::fromLocal8Bit(zero < 0 ? bytes : bytes.left(zero));
    }
    setMemoryValue(memAuthToken, token);
    qCDebug(user_data) << "authToken" << LogMask::token(token);
    return token;
}

QByteArray UserData::encodeDecode(const QByteArray& data, const QByteArray& key)
{
    if (key.isEmpty())
        return data;
    QByteArray result(data.size(), Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        result[i] = static_cast<char>(data.at(i) ^ key.at(i % key.size()));
    return result;
}

bool UserData::setPin(const QString& pin)
{
    if (pin.isEmpty()) {
        qCWarning(user_data) << "setPin() refused an empty PIN";
        return false;
    }
    const bool adMode = isAdMode();
    const QString signIn = adMode ? getAuthToken() : getLogin() + QLatin1Char(':') + getPassword();
    const QByteArray base64 = signIn.toLocal8Bit().toBase64();
    auto store = openStore();
    store->setValue(groupUser + QStringLiteral("/PIN"), pinDigest(pin, base64));
    store->setValue(groupUser + QStringLiteral("/AUTHDATA"), adMode ? base64 : encodeDecode(base64, pin.toUtf8()));
    store->sync();
    return true;
}

bool UserData::checkPin(const QString& pin)
{
    if (pin.isEmpty()) {
        qCDebug(user_data) << "checkPin() empty PIN";
        return false;
    }
    auto store = openStore();
    const QByteArray storedDigest = store->value(groupUser + QStringLiteral("/PIN"), QByteArray()).toByteArray();
    const QByteArray storedData = store->value(groupUser + QStringLiteral("/AUTHDATA"), QByteArray()).toByteArray();
    store.reset();
    const bool adMode = isAdMode();
    const QByteArray base64 = adMode ? storedData : encodeDecode(storedData, pin.toUtf8());
    const QStringList parts = decodeSignIn(base64).split(QLatin1Char(':'));
    qCDebug(user_data) << "checkPin()" << parts.size();
    if (storedDigest.isEmpty() || pinDigest(pin, base64) != storedDigest)
        return false;
    // Only a matching PIN may replace what is in memory: a wrong one would
    // decode garbage over good values.
    if (adMode) {
        if (parts.size() == 1)
            setAuthToken(parts.at(0));
    } else if (parts.size() == 2) {
        setLogin(parts.at(0));
        setPassword(parts.at(1));
    }
    return true;
}

bool UserData::checkAuthData()
{
    auto store = openStore();
    const bool pin = !store->value(groupUser + QStringLiteral("/PIN"), QByteArray()).toByteArray().isEmpty();
    const bool data = !store->value(groupUser + QStringLiteral("/AUTHDATA"), QByteArray()).toByteArray().isEmpty();
    qCDebug(user_data) << "checkAuthData()" << (pin ? "true" : "false") << (data ? "true" : "false");
    return pin && data;
}

void UserData::deleteAuthData()
{
    {
        QMutexLocker lock(&memoryMutex);
        memLogin.clear();
        memPassword.clear();
        memAuthToken.clear();
    }
    tokenCache.store(-1);
    tokenReadAt.store(never);
    auto store = openStore();
    store->beginGroup(groupUser);
    const QStringList keys = store->allKeys();
    for (const QString& key : keys) {
        if (key != QLatin1String("UID"))
            store->remove(key);
    }
    store->endGroup();
    store->sync();
}

// ---- in-memory account state ----

quint32 UserData::getProfileId()
{
    return memProfileId.load();
}

void UserData::saveProfileId(quint32 id)
{
    qCDebug(user_data) << "saveProfileId" << id;
    memProfileId.store(id);
}

void UserData::setSavedIpV4Dns(const QStringList& servers)
{
    if (servers.isEmpty())
        return;
    QMutexLocker lock(&memoryMutex);
    memSavedV4 = servers;
}

void UserData::setSavedIpV6Dns(const QStringList& servers)
{
    if (servers.isEmpty())
        return;
    QMutexLocker lock(&memoryMutex);
    memSavedV6 = servers;
}

QStringList UserData::getSavedIpV4Dns()
{
    QMutexLocker lock(&memoryMutex);
    return memSavedV4;
}

QStringList UserData::getSavedIpV6Dns()
{
    QMutexLocker lock(&memoryMutex);
    return memSavedV6;
}

// ---- identity ----

QString UserData::getLocalHostName()
{
    return QSysInfo::machineHostName();
}

QString UserData::getLocalIP()
{
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress& address : addresses) {
        const auto protocol = address.protocol();
        if (protocol != QAbstractSocket::IPv4Protocol && protocol != QAbstractSocket::IPv6Protocol)
            continue;
        if (address == QHostAddress(QHostAddress::LocalHost) || address == QHostAddress(QHostAddress::LocalHostIPv6))
            continue;
        return address.toString();
    }
    return QStringLiteral("unknown");
}

void UserData::checkUsername()
{
    QString name;
    if (!Platform::machineInfo().consoleUserName(name)) {
        qCDebug(user_data) << "Can't get current user";
        name.clear();
    }
    setMemoryValue(memUsername, name);
    qCDebug(user_data) << "checkUsername" << name;
}

QString UserData::getUsername()
{
    return memoryValue(memUsername);
}

void UserData::resetMemoryState()
{
    {
        QMutexLocker lock(&memoryMutex);
        memLogin.clear();
        memPassword.clear();
        memAuthToken.clear();
        memUsername.clear();
        memSavedV4.clear();
        memSavedV6.clear();
    }
    memProfileId.store(0);
    tokenCache.store(-1);
    tokenReadAt.store(never);
    hot().invalidate();
}
