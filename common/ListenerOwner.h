#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QVector>

// Tells whether the program listening on the agent's control port is the
// agent, before a PIN or a password goes to it: any local program that binds
// the port first (while the agent restarts, or before the service starts)
// would otherwise be handed them.
//
// Linux: every socket that could take a connection to the port must belong to
// the agent's user (the system service runs as root) and, where this process
// can see the process holding it (it runs as root), that process must run the
// agent's program. Windows: the listening process must be the running agent
// service.
class ListenerOwner
{
public:
    struct Expectation
    {
        // Linux: where the kernel's process and socket tables are, the user the
        // listener must belong to and the file name of the program holding it.
        QString procRoot = QStringLiteral("/proc");
        quint32 uid = 0;
        QString program = QStringLiteral("agentcorvane");
        // Windows: the service whose process must be listening, or, when `pid`
        // is not 0, that process instead.
        QString serviceName = QStringLiteral("Corvane Agent");
        quint32 pid = 0;

        // The calling process itself must be listening: for a stand-in agent
        // inside a test program.
        static Expectation thisProcess();
    };

    struct Verdict
    {
        bool trusted = false;
        // Why the listener is not trusted (or who it is), for the log and the user.
        QString reason;
    };

    // One row of /proc/net/tcp or /proc/net/tcp6.
    struct Socket
    {
        QHostAddress address;
        quint16 port = 0;
        quint8 state = 0;
        quint32 uid = 0;
        quint64 inode = 0;
    };
    static constexpr quint8 stateListen = 0x0A;
    // Longest row the kernel writes is about 150 bytes; anything much longer
    // is not a row of that table.
    static constexpr int maxLineLength = 512;
    // The most of one table this reads; a larger table is refused rather than
    // checked in part.
    static constexpr qint64 maxTableBytes = 32 * 1024 * 1024;

    // Parses one row (the header row is not a row). False on anything that is
    // not exactly the kernel's layout.
    static bool parseProcNetLine(const QByteArray& line, bool v6, Socket& socket);
    // Parses a whole table, header first. False, with the 1-based line number
    // in `badLine`, when any row is malformed: a table that cannot be read
    // whole cannot show that no stranger listens.
    static bool parseProcNetTable(const QByteArray& contents, bool v6, QVector<Socket>& sockets,
                                  int& badLine);
    // Whether a socket listening on `listening` takes connections made to
    // `target` (the same address, the wildcard of its family, or for an IPv4
    // target the IPv6 wildcard and the IPv4-mapped form of the target).
    static bool reaches(const QHostAddress& listening, const QHostAddress& target);

    // Reads a /proc table (which reports no size) up to maxTableBytes.
    static bool readTable(const QString& path, QByteArray& contents, QString& error);
    // The rows of <procRoot>/net/tcp and tcp6 that listen on `port` and take
    // connections to `target`. False with `error` set when a table cannot be
    // read whole.
    static bool listenersIn(const QString& procRoot, const QHostAddress& target, quint16 port,
                            QVector<Socket>& listeners, QString& error);

    // The rows of <procRoot>/net/udp and udp6 bound to `port` that take
    // datagrams sent to `target` (see reaches()). False with `error` set when
    // a table cannot be read whole.
    static bool udpBoundIn(const QString& procRoot, const QHostAddress& target, quint16 port,
                           QVector<Socket>& sockets, QString& error);
    // Who holds UDP `port` on `address` (bound to it or to its family's
    // wildcard), for the log and the user: "python3 (pid 812)" for each
    // holding process the system names, else what it does tell (the user),
    // else why it cannot tell. Linux reads `procRoot`; Windows asks the UDP
    // table for the owning process.
    static QString udpHolder(const QHostAddress& address, quint16 port,
                             const QString& procRoot = QStringLiteral("/proc"));

    // Checks who listens on target:port. Only loopback targets can be checked;
    // any other is not trusted.
    static Verdict check(const QHostAddress& target, quint16 port, const Expectation& expectation);
    static Verdict check(const QHostAddress& target, quint16 port)
    {
        return check(target, port, Expectation());
    }
};
