#include "common/ListenerOwner.h"

#include <QList>
#include <QStringList>
#include <QtEndian>

#include <memory>
#include <vector>

// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

namespace {

struct ServiceHandleClose
{
    void operator()(SC_HANDLE handle) const
    {
        if (handle)
            CloseServiceHandle(handle);
    }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleClose>;

// The process id of the running service, 0 with `error` set when it does not
// run or cannot be asked. Connecting to the manager and querying a service's
// status are open to ordinary users.
DWORD servicePid(const QString& name, QString& error)
{
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        error = QStringLiteral("the service manager cannot be reached (error %1)").arg(GetLastError());
        return 0;
    }
    const std::wstring wide = name.toStdWString();
    const ServiceHandle service(OpenServiceW(manager.get(), wide.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        error =
            QStringLiteral("the service \"%1\" cannot be opened (error %2)").arg(name).arg(GetLastError());
        return 0;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                              sizeof status, &needed)) {
        error = QStringLiteral("the status of the service \"%1\" cannot be read (error %2)")
                    .arg(name)
                    .arg(GetLastError());
        return 0;
    }
    if (status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId == 0) {
        error = QStringLiteral("the service \"%1\" is not running (state %2)")
                    .arg(name)
                    .arg(status.dwCurrentState);
        return 0;
    }
    return status.dwProcessId;
}

struct Listening
{
    QHostAddress address;
    DWORD pid = 0;
};

// The listening sockets of one family on `port` with their processes. The
// table can grow between the size query and the copy: asked again a few times.
bool listenersOn(ULONG family, quint16 port, std::vector<Listening>& out, QString& error)
{
    std::vector<unsigned char> buffer(16 * 1024);
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        result = GetExtendedTcpTable(buffer.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
        if (result == ERROR_INSUFFICIENT_BUFFER)
            buffer.resize(static_cast<size_t>(size) + 4096);
    }
    if (result != NO_ERROR) {
        error = QStringLiteral("the TCP listener table cannot be read (error %1)").arg(result);
        return false;
    }
    if (family == AF_INET) {
        const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = table->table[i];
            if (qFromBigEndian<quint16>(static_cast<quint16>(row.dwLocalPort)) != port)
                continue;
            out.push_back(Listening{QHostAddress(qFromBigEndian<quint32>(row.dwLocalAddr)), row.dwOwningPid});
        }
    } else {
        const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
            if (qFromBigEndian<quint16>(static_cast<quint16>(row.dwLocalPort)) != port)
                continue;
            out.push_back(Listening{QHostAddress(row.ucLocalAddr), row.dwOwningPid});
        }
    }
    return true;
}

bool underWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// The effective uid of this process as the Unix kernel sees it, from
// Z:\proc\self\status ("Uid:" real, effective, saved, file system).
bool wineUnixUid(quint32& uid, QString& error)
{
    QByteArray status;
    if (!ListenerOwner::readTable(QStringLiteral("Z:/proc/self/status"), status, error))
        return false;
    for (const QByteArray& line : status.split('\n')) {
        if (!line.startsWith("Uid:"))
            continue;
        const QList<QByteArray> fields = line.mid(4).simplified().split(' ');
        bool ok = false;
        const uint value = fields.value(1).toUInt(&ok);
        if (fields.size() != 4 || !ok)
            break;
        uid = value;
        return true;
    }
    error = QStringLiteral("no Uid line in Z:/proc/self/status");
    return false;
}

// Wine lists a socket that only its server holds with owner process 0, and
// the agent's sockets are such (the server does their I/O); so are the
// sockets of any program outside wine. What wine does show is the Unix
// table: every listener there must belong to the Unix user that this wine
// session (whose processes all run as one user) runs as.
ListenerOwner::Verdict wineUnixOwner(const QHostAddress& target, quint16 port, const QString& where)
{
    QString error;
    quint32 uid = 0;
    if (!wineUnixUid(uid, error))
        return {false, QStringLiteral("under wine, which shows no owner process: %1").arg(error)};
    QVector<ListenerOwner::Socket> listeners;
    if (!ListenerOwner::listenersIn(QStringLiteral("Z:/proc"), target, port, listeners, error))
        return {false, QStringLiteral("under wine, which shows no owner process: %1").arg(error)};
    if (listeners.isEmpty())
        return {
            false,
            QStringLiteral("under wine, which shows no owner process: no Unix listener on %1").arg(where)};
    for (const ListenerOwner::Socket& socket : listeners) {
        if (socket.uid != uid)
            return {false,
                    QStringLiteral("under wine, which shows no owner process: the listener on %1 belongs to "
                                   "Unix uid %2, not to wine's user %3")
                        .arg(where)
                        .arg(socket.uid)
                        .arg(uid)};
    }
    return {true,
            QStringLiteral("under wine, which shows no owner process: the listener on %1 belongs to wine's "
                           "Unix user %2")
                .arg(where)
                .arg(uid)};
}

struct HandleClose
{
    void operator()(HANDLE handle) const
    {
        if (handle)
            CloseHandle(handle);
    }
};
using ProcessHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleClose>;

// The UDP sockets of one family bound to `port`, with their processes.
bool udpBoundOn(ULONG family, quint16 port, std::vector<Listening>& out, QString& error)
{
    std::vector<unsigned char> buffer(16 * 1024);
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        result = GetExtendedUdpTable(buffer.data(), &size, FALSE, family, UDP_TABLE_OWNER_PID, 0);
        if (result == ERROR_INSUFFICIENT_BUFFER)
            buffer.resize(static_cast<size_t>(size) + 4096);
    }
    if (result != NO_ERROR) {
        error = QStringLiteral("the UDP table cannot be read (error %1)").arg(result);
        return false;
    }
    if (family == AF_INET) {
        const auto* table = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_UDPROW_OWNER_PID& row = table->table[i];
            if (qFromBigEndian<quint16>(static_cast<quint16>(row.dwLocalPort)) != port)
                continue;
            out.push_back(Listening{QHostAddress(qFromBigEndian<quint32>(row.dwLocalAddr)), row.dwOwningPid});
        }
    } else {
        const auto* table = reinterpret_cast<const MIB_UDP6TABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_UDP6ROW_OWNER_PID& row = table->table[i];
            if (qFromBigEndian<quint16>(static_cast<quint16>(row.dwLocalPort)) != port)
                continue;
            out.push_back(Listening{QHostAddress(row.ucLocalAddr), row.dwOwningPid});
        }
    }
    return true;
}

// The program file name of a process, empty where this process may not ask.
QString processName(DWORD pid)
{
    const ProcessHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process)
        return QString();
    wchar_t path[MAX_PATH];
    DWORD length = MAX_PATH;
    if (!QueryFullProcessImageNameW(process.get(), 0, path, &length) || length == 0 || length >= MAX_PATH)
        return QString();
    const QString full = QString::fromWCharArray(path, static_cast<int>(length));
    const int slash = full.lastIndexOf(QLatin1Char('\\'));
    return slash < 0 ? full : full.mid(slash + 1);
}

} // namespace

QString ListenerOwner::udpHolder(const QHostAddress& address, quint16 port, const QString& procRoot)
{
    Q_UNUSED(procRoot)
    std::vector<Listening> bound;
    QString error;
    if (!udpBoundOn(AF_INET, port, bound, error) || !udpBoundOn(AF_INET6, port, bound, error))
        return error;
    QStringList named;
    bool unknownOwner = false;
    for (const Listening& socket : bound) {
        if (!reaches(socket.address, address))
            continue;
        // Wine lists sockets its server holds with owner process 0.
        if (socket.pid == 0) {
            unknownOwner = true;
            continue;
        }
        const QString name = processName(socket.pid);
        const QString one =
            QStringLiteral("%1 (pid %2)").arg(name.isEmpty() ? QStringLiteral("?") : name).arg(socket.pid);
        if (!named.contains(one))
            named << one;
    }
    if (!named.isEmpty())
        return named.join(QStringLiteral(", "));
    if (unknownOwner)
        return QStringLiteral("a process the system does not name");
    return QStringLiteral("no socket of this machine's tables holds it");
}

ListenerOwner::Expectation ListenerOwner::Expectation::thisProcess()
{
    Expectation expectation;
    expectation.pid = GetCurrentProcessId();
    return expectation;
}

ListenerOwner::Verdict ListenerOwner::check(const QHostAddress& target, quint16 port,
                                            const Expectation& expectation)
{
    const QString where = QStringLiteral("%1:%2").arg(target.toString()).arg(port);
    if (!target.isLoopback())
        return {false, QStringLiteral("%1 is not on this machine; its owner cannot be checked").arg(where)};
    QString error;
    DWORD expected = expectation.pid;
    if (expected == 0) {
        expected = servicePid(expectation.serviceName, error);
        if (expected == 0)
            return {false, error};
    }
    std::vector<Listening> listening;
    if (!listenersOn(AF_INET, port, listening, error) || !listenersOn(AF_INET6, port, listening, error))
        return {false, error};
    bool any = false;
    bool ownerUnknown = false;
    for (const Listening& socket : listening) {
        if (!reaches(socket.address, target))
            continue;
        any = true;
        if (socket.pid == 0 && underWine()) {
            ownerUnknown = true;
            continue;
        }
        if (socket.pid != expected)
            return {false, QStringLiteral("the listener on %1 is process %2, not the agent's process %3")
                               .arg(where)
                               .arg(socket.pid)
                               .arg(expected)};
    }
    if (!any)
        return {false, QStringLiteral("nothing listens on %1").arg(where)};
    if (ownerUnknown)
        return wineUnixOwner(target, port, where);
    return {true, QStringLiteral("the listener on %1 is the agent's process %2").arg(where).arg(expected)};
}
