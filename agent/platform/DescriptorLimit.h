#pragma once

#include <QString>
#include <QtGlobal>

// The process's limit on open descriptors. On Linux the soft limit a service
// starts with is often 1024 (systemd's default) while the hard limit is far
// higher; sockets of the DNS proxy, the block page and the control channel
// all count against it, and the event loop cannot make its own descriptors
// once it is reached. Windows has no such per-process limit on sockets.
class DescriptorLimit
{
public:
    // Far above what the agent's bounded queues and connection caps need;
    // raising further would only let a fault use more of the system's.
    static constexpr quint64 defaultCeiling = 65536;

    struct Result
    {
        bool supported = false; // the system has such a limit
        bool raised = false;
        quint64 before = 0;
        quint64 after = 0;
        quint64 hard = 0;
        QString error;
        // One line for the log.
        QString text() const;
    };

    // Raises the soft limit to the hard limit, at most to `ceiling`; never
    // lowers it. Call once, early at start.
    static Result raise(quint64 ceiling = defaultCeiling);
};
