#include "settings/UserData.h"

#include "common/PayloadKeys.h"
#include "common/RegistryStore.h"
#include "logging/LogMask.h"
#include "platform/DiagnosticCommands.h"
#include "platform/DirectoryCommands.h"
#include "platform/MachineInfo.h"
#include "platform/Platform.h"
#include "platform/ProgramRunner.h"
#include "settings/ConstData.h"
#include "settings/SettingsLogging.h"
#include "settings/SystemReport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QSysInfo>
#include <QTextCodec>

#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <shared_mutex>

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
    bool failClosed = false;
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
        textWithDefault(*store, QStringLiteral("DNS_TYPE_PROTOCOL"), QStringLiteral("0"), wrote)
            .toUInt(&isNumber);
    values.protocol = isNumber ? protocol : 0;
    values.dnsIpV4 = textWithDefault(*store, QStringLiteral("DNS_IP_V4"), ConstData::getDnsIpV4(), wrote,
                                     ConstData::getLocalHostV4());
    values.dnsIpV6 = textWithDefault(*store, QStringLiteral("DNS_IP_V6"), ConstData::getDnsIpV6(), wrote,
                                     ConstData::getLocalHostV6());
    values.dnsHost = textWithDefault(*store, QStringLiteral("DNS_DOMAIN"),
                                     QStringLiteral("doh.") + ConstData::getDomainName(), wrote);
    values.apiDomain =
        textWithDefault(*store, QStringLiteral("API_DOMAIN"), ConstData::getDomainName(), wrote);
    values.controlDns = store->value(QStringLiteral("DNS_TYPE_PROTECTION"), 0).toInt();
    // Anything but "closed" is the default, open: an unreadable value must
    // not take the machine's DNS away.
    values.failClosed = textWithDefault(*store, QStringLiteral("FAIL_MODE"), QStringLiteral("open"), wrote) ==
                        QLatin1String("closed");
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
            std::shared_lock<std::shared_mutex> lock(mutex);
            if (now - loadedAt < refreshMs)
                return reader(values);
        }
        std::unique_lock<std::shared_mutex> lock(mutex);
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
        std::unique_lock<std::shared_mutex> lock(mutex);
        if (loadedAt == never) {
            values = loadHotValues();
            loadedAt = nowMs();
        }
        update(values);
    }

    void invalidate()
    {
        std::unique_lock<std::shared_mutex> lock(mutex);
        loadedAt = never;
    }

private:
    // Standard locks rather than Qt's: ThreadSanitizer sees their locking.
    std::shared_mutex mutex;
    HotValues values;
    qint64 loadedAt = never;
};

HotCache& hot()
{
    static HotCache cache;
    return cache;
}

// In-memory account state.
std::mutex memoryMutex;
QString memLogin;
QString memPassword;
QString memAuthToken;
QString memUsername;
QString memDebugInfo;
QStringList memSavedV4;
QStringList memSavedV6;
std::atomic<quint32> memProfileId{0};
std::atomic<qint64> tokenCache{UserData::noToken};
std::atomic<qint64> tokenReadAt{never};
std::atomic<quint64> authDataGeneration{0};

QString memoryValue(const QString& value)
{
    std::lock_guard<std::mutex> lock(memoryMutex);
    return value;
}

void setMemoryValue(QString& target, const QString& value)
{
    std::lock_guard<std::mutex> lock(memoryMutex);
    target = value;
}

// Bytes as UTF-8 text; nothing when they are not valid UTF-8.
QString validUtf8(const QByteArray& bytes)
{
    QTextCodec::ConverterState state;
    const QString text =
        QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0)
        return QString();
    return text;
}

// Stored sign-in data back to text: nothing when it is not strict Base64 of UTF-8 text.
QString decodeSignIn(const QByteArray& base64)
{
    const auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return QString();
    return validUtf8(decoded.decoded);
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
    hot().write(QStringLiteral("DNS_TYPE_PROTECTION"), number,
                [number](HotValues& v) { v.controlDns = number; });
}

bool UserData::getNoAdWork()
{
    return hot().read([](const HotValues& v) { return v.noAd; });
}

void UserData::setNoAdWork(bool noAd)
{
    hot().write(QStringLiteral("NO_AD"), noAd, [noAd](HotValues& v) { v.noAd = noAd; });
}

bool UserData::getFailClosed()
{
    return hot().read([](const HotValues& v) { return v.failClosed; });
}

void UserData::setFailClosed(bool closed)
{
    const QString word = closed ? QStringLiteral("closed") : QStringLiteral("open");
    hot().write(QStringLiteral("FAIL_MODE"), word, [closed](HotValues& v) { v.failClosed = closed; });
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

void UserData::replaceNetworkInterfaces(const QMap<QString, NetInter>& interfaces)
{
    {
        auto store = openStore();
        store->remove(groupInterfaces);
        store->sync();
    }
    setNetworkInterfaces(interfaces);
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
    return QJsonObject{{PayloadKeys::X, x}, {PayloadKeys::Y, y}};
}

void UserData::setCoordGui(const QJsonObject& coordinates)
{
    auto store = openStore();
    store->beginGroup(groupCoord);
    store->setValue(QStringLiteral("X"), coordinates.value(PayloadKeys::X).toVariant().toString());
    store->setValue(QStringLiteral("Y"), coordinates.value(PayloadKeys::Y).toVariant().toString());
    store->endGroup();
    store->sync();
}

void UserData::getPinLockOut(int& wrongInRow, int& lockOuts, qint64& lockedUntilMs)
{
    auto store = openStore();
    store->beginGroup(groupControl);
    const auto number = [&store](const QString& key) {
        bool ok = false;
        const qint64 value = store->value(key, QString()).toString().toLongLong(&ok);
        return ok ? value : 0;
    };
    const qint64 wrong = number(QStringLiteral("PIN_WRONG_COUNT"));
    const qint64 series = number(QStringLiteral("PIN_LOCKOUT_COUNT"));
    lockedUntilMs = number(QStringLiteral("PIN_LOCKOUT_END"));
    store->endGroup();
    wrongInRow = static_cast<int>(qBound<qint64>(0, wrong, 1000000));
    lockOuts = static_cast<int>(qBound<qint64>(0, series, 1000000));
}

void UserData::setPinLockOut(int wrongInRow, int lockOuts, qint64 lockedUntilMs)
{
    auto store = openStore();
    store->beginGroup(groupControl);
    // Decimal text, like the other numbers of the group.
    store->setValue(QStringLiteral("PIN_WRONG_COUNT"), QString::number(wrongInRow));
    store->setValue(QStringLiteral("PIN_LOCKOUT_COUNT"), QString::number(lockOuts));
    store->setValue(QStringLiteral("PIN_LOCKOUT_END"), QString::number(lockedUntilMs));
    store->endGroup();
    store->sync();
}

// ---- USER ----

qint64 UserData::tokenFromStored(const QVariant& stored)
{
    bool ok = false;
    const qint64 value = stored.toString().trimmed().toLongLong(&ok);
    if (!ok || value == -1 || value == 0xFFFFFFFFLL || value < -0x80000000LL || value > 0xFFFFFFFFLL)
        return noToken;
    return value < 0 ? value + 0x100000000LL : value;
}

qint64 UserData::getToken()
{
    const qint64 cached = tokenCache.load();
    if (cached != noToken)
        return cached;
    // Signed out: the store is asked again at most once a second, so queries
    // made while no token exists do not each read the store.
    const qint64 now = nowMs();
    if (now - tokenReadAt.load() < refreshMs)
        return noToken;
    auto store = openStore();
    const qint64 token = tokenFromStored(store->value(groupUser + QStringLiteral("/TOKEN")));
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
    tokenCache.store(id == 0xFFFFFFFFu ? noToken : static_cast<qint64>(id));
}

void UserData::saveUid(const QString& uid)
{
    if (ConstData::getWorkingMode().first != 1 && !getNoAdWork())
        return;
    auto store = openStore();
    store->setValue(groupUser + QStringLiteral("/UID"), uid);
    store->sync();
}

QString UserData::savedUidForMask()
{
    return openStore()->value(groupUser + QStringLiteral("/UID"), QString()).toString();
}

QString UserData::getSaveUid()
{
    QString uid;
    if (ConstData::getWorkingMode().first == 1 || getNoAdWork()) {
        auto store = openStore();
        uid = store->value(groupUser + QStringLiteral("/UID"), QString()).toString();
    }
    qCDebug(user_data) << "getSaveUid()" << LogMask::token(uid);
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
        token = validUtf8(zero < 0 ? bytes : bytes.left(zero));
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
    // UTF-8, as checkPin decodes it: the agent makes UTF-8 its locale's
    // codec, but a process that has not (a tool, a test, Windows' own code
    // page) would otherwise store what checkPin cannot read back.
    const QByteArray base64 = signIn.toUtf8().toBase64();
    auto store = openStore();
    store->setValue(groupUser + QStringLiteral("/PIN"), pinDigest(pin, base64));
    store->setValue(groupUser + QStringLiteral("/AUTHDATA"),
                    adMode ? base64 : encodeDecode(base64, pin.toUtf8()));
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
    const QByteArray storedDigest =
        store->value(groupUser + QStringLiteral("/PIN"), QByteArray()).toByteArray();
    const QByteArray storedData =
        store->value(groupUser + QStringLiteral("/AUTHDATA"), QByteArray()).toByteArray();
    store.reset();
    const bool adMode = isAdMode();
    const QByteArray base64 = adMode ? storedData : encodeDecode(storedData, pin.toUtf8());
    const QString signIn = decodeSignIn(base64);
    const QStringList parts = signIn.isEmpty() ? QStringList() : signIn.split(QLatin1Char(':'));
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
    const bool data =
        !store->value(groupUser + QStringLiteral("/AUTHDATA"), QByteArray()).toByteArray().isEmpty();
    qCDebug(user_data) << "checkAuthData()" << (pin ? "true" : "false") << (data ? "true" : "false");
    return pin && data;
}

quint64 UserData::getAuthDataGeneration()
{
    return authDataGeneration.load();
}

void UserData::deleteAuthData()
{
    {
        std::lock_guard<std::mutex> lock(memoryMutex);
        memLogin.clear();
        memPassword.clear();
        memAuthToken.clear();
    }
    tokenCache.store(noToken);
    tokenReadAt.store(never);
    // The backend's tokens held in memory are dropped at their next use.
    authDataGeneration.fetch_add(1);
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
    std::lock_guard<std::mutex> lock(memoryMutex);
    memSavedV4 = servers;
}

void UserData::setSavedIpV6Dns(const QStringList& servers)
{
    if (servers.isEmpty())
        return;
    std::lock_guard<std::mutex> lock(memoryMutex);
    memSavedV6 = servers;
}

QStringList UserData::getSavedIpV4Dns()
{
    std::lock_guard<std::mutex> lock(memoryMutex);
    return memSavedV4;
}

QStringList UserData::getSavedIpV6Dns()
{
    std::lock_guard<std::mutex> lock(memoryMutex);
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
        if (address == QHostAddress(QHostAddress::LocalHost) ||
            address == QHostAddress(QHostAddress::LocalHostIPv6))
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

// ---- backend binding ----

QString UserData::getBackendBinding()
{
    auto store = openStore();
    return store->value(groupControl + QStringLiteral("/BACKEND"), QString()).toString();
}

// ---- system and debug reports ----

QString UserData::startCommand(const QString& program, const QStringList& arguments)
{
    return startCommand(program, arguments, ProgramRunner::defaultTimeoutMs);
}

QString UserData::startCommand(const QString& program, const QStringList& arguments, int timeoutMs)
{
    const ProgramResult run = Platform::programRunner().run(program, arguments, timeoutMs);
    if (!run.started)
        return QString();
    return ProgramRunner::decode(run.output, DiagnosticCommands::outputCodec());
}

QString UserData::collectDebugInfo(const QString& domain, int timeoutMs)
{
    const DiagnosticCommand route = DiagnosticCommands::traceRoute(domain);
    const QString routeText = startCommand(route.program, route.arguments, timeoutMs);
    const DiagnosticCommand lookup = DiagnosticCommands::txtLookup(QStringLiteral("black.") + domain);
    const QString lookupText = startCommand(lookup.program, lookup.arguments, timeoutMs);
    return SystemReport::debugJson(routeText, lookupText);
}

QString UserData::getDebugInfo()
{
    const QString info = collectDebugInfo(getDomainName(), ProgramRunner::defaultTimeoutMs);
    setMemoryValue(memDebugInfo, info);
    return info;
}

QString UserData::getLastDebugInfo()
{
    return memoryValue(memDebugInfo);
}

void UserData::setLastDebugInfo(const QString& info)
{
    setMemoryValue(memDebugInfo, info);
}

void UserData::resetMemoryState()
{
    {
        std::lock_guard<std::mutex> lock(memoryMutex);
        memLogin.clear();
        memPassword.clear();
        memAuthToken.clear();
        memUsername.clear();
        memDebugInfo.clear();
        memSavedV4.clear();
        memSavedV6.clear();
    }
    memProfileId.store(0);
    tokenCache.store(noToken);
    tokenReadAt.store(never);
    hot().invalidate();
}

// ---- directory (AD) mode ----

QPair<QStringList, int> UserData::getLdapGroups()
{
    QPair<QStringList, int> result(QStringList(), 1);
    const QString user = getUsername();
    if (user.isEmpty()) {
        qCWarning(user_data) << "I didn't get username";
        return result;
    }
    const QString domain = ConstData::getWorkingMode().second;
    // The names go into a PowerShell filter: a name that could leave its quotes
    // is not asked about at all.
    if (!DirectoryCommands::isSafeUserName(user) || !DirectoryCommands::isSafeDomainName(domain)) {
        qCWarning(user_data).noquote()
            << "user or domain name not usable in a directory query:" << user << domain;
        return result;
    }
    const DirectoryCommand command = DirectoryCommands::groupQuery(user, domain);
    if (command.program.isEmpty()) {
        qCWarning(user_data) << "no directory query on this system";
        return result;
    }
    qCDebug(user_data).noquote() << "Command for get Groups:" << command.arguments.join(QLatin1Char(' '));
    const ProgramResult run =
        Platform::programRunner().run(command.program, command.arguments, ProgramRunner::defaultTimeoutMs);
    const QString output = ProgramRunner::decode(run.output, command.codec);
    result.first = DirectoryCommands::parseGroups(output);
    qCDebug(user_data).noquote() << "Output:" << output;
    qCDebug(user_data).noquote() << "Error:" << (run.started ? QString() : QStringLiteral("not started"));
    // A program that could not start or did not finish in time has no exit code of its own.
    result.second = (run.started && run.finished) ? run.exitCode : -1;
    if (result.second != 0) {
        qCWarning(user_data) << "Failed to get Groups!" << result.second;
        result.first.clear();
    }
    qCDebug(user_data) << "getLdapGroups" << result.first << result.second;
    return result;
}

void UserData::installAdTool()
{
    const DirectoryCommand check = DirectoryCommands::toolCheck();
    if (check.program.isEmpty()) {
        qCInfo(user_data) << "no directory tools to install on this system";
        return;
    }
    const ProgramResult checked =
        Platform::programRunner().run(check.program, check.arguments, ProgramRunner::defaultTimeoutMs);
    const QString checkOutput = ProgramRunner::decode(checked.output, check.codec);
    qCDebug(user_data).noquote() << "Output:" << checkOutput;
    qCDebug(user_data).noquote() << "Error:" << (checked.started ? QString() : QStringLiteral("not started"));
    if (checkOutput.contains(QLatin1String("Installed"))) {
        qCInfo(user_data) << "Ad component is installed";
        return;
    }
    const DirectoryCommand install = DirectoryCommands::toolInstall();
    qCDebug(user_data).noquote() << "Command for install AD tool:"
                                 << install.arguments.join(QLatin1Char(' '));
    const ProgramResult installed =
        Platform::programRunner().run(install.program, install.arguments, ProgramRunner::defaultTimeoutMs);
    qCDebug(user_data).noquote() << "Output:" << ProgramRunner::decode(installed.output, install.codec);
    qCDebug(user_data).noquote() << "Error:"
                                 << (installed.started ? QString() : QStringLiteral("not started"));
    const int code = (installed.started && installed.finished) ? installed.exitCode : -1;
    if (code != 0)
        qCWarning(user_data) << "Failed to install AD tool!" << code;
}
