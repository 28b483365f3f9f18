#include "platform/SystemServices.h"

#include "platform/AdapterSource.h"
#include "platform/MachineInfo.h"
#include "platform/Platform.h"
#include "platform/ProgramRunner.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QStandardPaths>
#include <QTextStream>
#include <QtEndian>

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>
#include <utmpx.h>

namespace {

quint32 typeOf(const QNetworkInterface& interface)
{
    switch (interface.type()) {
    case QNetworkInterface::Loopback:
        return AdapterSource::SoftwareLoopback;
    case QNetworkInterface::Ethernet:
        return AdapterSource::Ethernet;
    case QNetworkInterface::Wifi:
        return AdapterSource::Ieee80211;
    case QNetworkInterface::Ppp:
        return AdapterSource::Ppp;
    case QNetworkInterface::Virtual:
        return AdapterSource::Tunnel;
    default:
        return AdapterSource::Other;
    }
}

class LinuxAdapterSource : public AdapterSource
{
public:
    bool list(QVector<AdapterInfo>& adapters) override
    {
        adapters.clear();
        const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
        if (interfaces.isEmpty() && !QFileInfo::exists(QStringLiteral("/sys/class/net")))
            return false;
        for (const QNetworkInterface& interface : interfaces) {
            AdapterInfo info;
            info.name = interface.name();
            info.friendlyName = interface.humanReadableName();
            info.type = typeOf(interface);
            info.up = interface.flags().testFlag(QNetworkInterface::IsUp) &&
                      interface.flags().testFlag(QNetworkInterface::IsRunning);
            for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
                const QHostAddress address = entry.ip();
                if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                    const quint32 v4 = qToBigEndian(address.toIPv4Address());
                    info.addresses.append(QByteArray(reinterpret_cast<const char*>(&v4), 4));
                } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
                    const Q_IPV6ADDR v6 = address.toIPv6Address();
                    info.addresses.append(QByteArray(reinterpret_cast<const char*>(v6.c), 16));
                }
            }
            adapters.append(info);
        }
        return true;
    }
};

class LinuxMachineInfo : public MachineInfo
{
public:
    bool domainDnsName(QString& domain) override
    {
        domain.clear();
        // realmd knows the directory domain of a joined machine; without it the
        // machine is taken as not joined.
        const QString realm = QStandardPaths::findExecutable(QStringLiteral("realm"));
        if (realm.isEmpty())
            return true;
        const ProgramResult result = Platform::programRunner().run(
            realm, {QStringLiteral("list"), QStringLiteral("--name-only")}, 5000);
        if (!result.finished || result.exitCode != 0)
            return false;
        domain = QString::fromUtf8(result.output).section(QLatin1Char('\n'), 0, 0).trimmed();
        return true;
    }

    bool consoleUserName(QString& user) override
    {
        user.clear();
        // The console is the first text terminal or the local X display.
        setutxent();
        while (const utmpx* entry = getutxent()) {
            if (entry->ut_type != USER_PROCESS)
                continue;
            const QString line =
                QString::fromLocal8Bit(entry->ut_line, qstrnlen(entry->ut_line, sizeof entry->ut_line));
            if (line.startsWith(QLatin1String("tty")) || line.startsWith(QLatin1Char(':')) ||
                line == QLatin1String("console")) {
                user =
                    QString::fromLocal8Bit(entry->ut_user, qstrnlen(entry->ut_user, sizeof entry->ut_user));
                break;
            }
        }
        endutxent();
        return !user.isEmpty();
    }

    QString productName() override
    {
        QFile file(QStringLiteral("/etc/os-release"));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return QStringLiteral("Linux");
        QTextStream stream(&file);
        while (!stream.atEnd()) {
            const QString line = stream.readLine();
            if (line.startsWith(QLatin1String("PRETTY_NAME="))) {
                QString value = line.mid(12).trimmed();
                if (value.size() >= 2 &&
                    (value.startsWith(QLatin1Char('"')) || value.startsWith(QLatin1Char('\''))))
                    value = value.mid(1, value.size() - 2);
                return value;
            }
        }
        return QStringLiteral("Linux");
    }

    quint32 buildNumber() override { return 0; }
};

} // namespace

AdapterSource& SystemServices::adapterSource()
{
    static LinuxAdapterSource source;
    return source;
}

MachineInfo& SystemServices::machineInfo()
{
    static LinuxMachineInfo info;
    return info;
}

bool SystemServices::stopSending(qintptr socketDescriptor)
{
    return ::shutdown(static_cast<int>(socketDescriptor), SHUT_WR) == 0;
}

SystemServices::AcceptResult SystemServices::acceptConnection(qintptr listener, qintptr* accepted)
{
    const int descriptor =
        ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (descriptor >= 0) {
        *accepted = descriptor;
        return AcceptResult::Accepted;
    }
    switch (errno) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return AcceptResult::Empty;
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
        return AcceptResult::Aborted;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return AcceptResult::OutOfResources;
    default:
        return AcceptResult::Failed;
    }
}

void SystemServices::closeSocket(qintptr socketDescriptor)
{
    ::close(static_cast<int>(socketDescriptor));
}
