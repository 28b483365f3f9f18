#include "common/ListenerOwner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <climits>
#include <unistd.h>

namespace {

QByteArray linkTarget(const QString& path)
{
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer)
        return QByteArray();
    return QByteArray(buffer, static_cast<int>(length));
}

// The file name of a program as /proc/<pid>/exe names it; a program replaced
// on disk while it runs (an upgrade) keeps its name with " (deleted)".
QString programName(const QByteArray& target)
{
    QByteArray path = target;
    if (path.endsWith(" (deleted)"))
        path.chop(static_cast<int>(sizeof(" (deleted)") - 1));
    const int slash = path.lastIndexOf('/');
    return QFile::decodeName(slash < 0 ? path : path.mid(slash + 1));
}

struct Holder
{
    qint64 pid = 0;
    QString program;
    QString command; // /proc/<pid>/comm: the name the process goes by
};

// The short name the kernel keeps for a process (at most 15 characters).
QString commandName(const QString& procRoot, const QString& pid)
{
    QFile file(procRoot + QLatin1Char('/') + pid + QStringLiteral("/comm"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QString name = QString::fromUtf8(file.read(64)).trimmed();
    // A process may name itself anything: no line breaks into our log.
    for (QChar& c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char('?');
    }
    return name;
}

// The processes whose descriptors hold one of `inodes`, as far as this
// process may look into them (only root sees every process's descriptors).
// Bounded: a process table larger than any real one is not walked further.
QHash<quint64, QVector<Holder>> holdersOf(const QString& procRoot, const QSet<quint64>& inodes)
{
    QHash<quint64, QVector<Holder>> holders;
    constexpr int maxProcesses = 1 << 17;
    constexpr int maxDescriptorsPerProcess = 1 << 16;
    const QStringList pids = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    int seen = 0;
    for (const QString& entry : pids) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid <= 0)
            continue;
        if (++seen > maxProcesses)
            break;
        const QString fdDir = procRoot + QLatin1Char('/') + entry + QStringLiteral("/fd");
        const QStringList fds = QDir(fdDir).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
        int count = 0;
        for (const QString& fd : fds) {
            if (++count > maxDescriptorsPerProcess)
                break;
            const QByteArray target = linkTarget(fdDir + QLatin1Char('/') + fd);
            if (!target.startsWith("socket:[") || !target.endsWith(']'))
                continue;
            bool ok = false;
            const quint64 inode = target.mid(8, target.size() - 9).toULongLong(&ok);
            if (!ok || !inodes.contains(inode))
                continue;
            const QByteArray exe = linkTarget(procRoot + QLatin1Char('/') + entry + QStringLiteral("/exe"));
            holders[inode].append(
                Holder{pid, exe.isEmpty() ? QString() : programName(exe), commandName(procRoot, entry)});
            break;
        }
    }
    return holders;
}

} // namespace

ListenerOwner::Expectation ListenerOwner::Expectation::thisProcess()
{
    Expectation expectation;
    expectation.uid = static_cast<quint32>(::geteuid());
    expectation.program = programName(linkTarget(QStringLiteral("/proc/self/exe")));
    expectation.pid = static_cast<quint32>(::getpid());
    return expectation;
}

ListenerOwner::Verdict ListenerOwner::check(const QHostAddress& target, quint16 port,
                                            const Expectation& expectation)
{
    const QString where = QStringLiteral("%1:%2").arg(target.toString()).arg(port);
    if (!target.isLoopback())
        return {false, QStringLiteral("%1 is not on this machine; its owner cannot be checked").arg(where)};

    QVector<Socket> listeners;
    QString error;
    if (!listenersIn(expectation.procRoot, target, port, listeners, error))
        return {false, error};
    if (listeners.isEmpty())
        return {false, QStringLiteral("nothing listens on %1").arg(where)};
    QSet<quint64> inodes;
    for (const Socket& socket : listeners) {
        if (socket.uid != expectation.uid)
            return {false, QStringLiteral("the listener on %1 belongs to uid %2, not to the agent's uid %3")
                               .arg(where)
                               .arg(socket.uid)
                               .arg(expectation.uid)};
        if (socket.inode != 0)
            inodes.insert(socket.inode);
    }
    // Who holds the sockets, where this process may look (as root): each
    // holder must run the agent's program.
    const QHash<quint64, QVector<Holder>> holders = holdersOf(expectation.procRoot, inodes);
    QString seen;
    for (auto it = holders.cbegin(); it != holders.cend(); ++it) {
        for (const Holder& holder : it.value()) {
            if (holder.program != expectation.program)
                return {false,
                        QStringLiteral("the listener on %1 is held by the program \"%2\" (pid %3), not %4")
                            .arg(where, holder.program.isEmpty() ? QStringLiteral("?") : holder.program)
                            .arg(holder.pid)
                            .arg(expectation.program)};
            seen = QStringLiteral(", program %1 (pid %2)").arg(holder.program).arg(holder.pid);
        }
    }
    return {
        true,
        QStringLiteral("the listener on %1 belongs to uid %2%3").arg(where).arg(expectation.uid).arg(seen)};
}

QString ListenerOwner::udpHolder(const QHostAddress& address, quint16 port, const QString& procRoot)
{
    QVector<Socket> sockets;
    QString error;
    if (!udpBoundIn(procRoot, address, port, sockets, error))
        return error;
    if (sockets.isEmpty())
        return QStringLiteral("no socket of this machine's tables holds it");
    QSet<quint64> inodes;
    QStringList users;
    for (const Socket& socket : sockets) {
        if (socket.inode != 0)
            inodes.insert(socket.inode);
        const QString user = QStringLiteral("uid %1").arg(socket.uid);
        if (!users.contains(user))
            users << user;
    }
    const QHash<quint64, QVector<Holder>> holders = holdersOf(procRoot, inodes);
    QStringList named;
    for (auto it = holders.cbegin(); it != holders.cend(); ++it) {
        for (const Holder& holder : it.value()) {
            const QString name = !holder.command.isEmpty()
                                     ? holder.command
                                     : (holder.program.isEmpty() ? QStringLiteral("?") : holder.program);
            const QString one = QStringLiteral("%1 (pid %2)").arg(name).arg(holder.pid);
            if (!named.contains(one))
                named << one;
        }
    }
    named.sort();
    if (!named.isEmpty())
        return named.join(QStringLiteral(", "));
    // The process is not one this process may look into.
    return QStringLiteral("a process of %1").arg(users.join(QStringLiteral(", ")));
}
