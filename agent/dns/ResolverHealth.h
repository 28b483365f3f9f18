#pragma once

#include <QString>
#include <QtGlobal>

#include <array>

// Whether the filtering service's resolver answers, per transport and
// address family ("path"). A path is down after missesToDown queries in a row
// went unanswered for a second, or at once on a hard failure (a refused
// connection, a failed handshake); it is up again with its first good answer.
// A query sent before the path's last answer is no miss: a loaded resolver
// lets a few queries wait longer than a second while it answers the rest,
// and taking it for down would send the whole load around it.
// While down it is probed: first after firstProbeMs, the wait doubling up to
// maxProbeMs, and at once after a network change or a resume from sleep;
// while queries keep coming, every trialEveryMs as well, so that filtering
// is back within seconds of the resolver, whatever the wait has grown to.
// Pure bookkeeping on the caller's clock; the hot path (answered() on an up
// path) is one compare.
class ResolverHealth
{
public:
    static constexpr int missesToDown = 2;
    static constexpr qint64 firstProbeMs = 5000;
    static constexpr qint64 maxProbeMs = 30000;
    static constexpr qint64 trialEveryMs = 2000;
    // Transports 0..2 (UserData::ETypeOfDnsProtocol) times two families.
    static constexpr int pathCount = 6;

    static int path(int protocol, bool isIpV4) { return (protocol % 3) * 2 + (isIpV4 ? 0 : 1); }
    static int protocolOf(int path) { return path / 2; }
    static bool isIpV4Path(int path) { return path % 2 == 0; }

    enum class Change
    {
        None,
        Down,
        Up,
    };

    bool isUp(int path) const { return !paths[index(path)].down; }
    // Up and seen answering: a path never tried (IPv6 on a network without
    // it, say) is up only in name and no place to send a query on to.
    bool isProven(int path) const { return !paths[index(path)].down && paths[index(path)].proven; }
    // Since when (caller's clock) the path is in its current state; 0 at start.
    qint64 since(int path) const { return paths[index(path)].since; }
    Change answered(int path, qint64 nowMs);
    // A query sent on the path at sentAtMs went unanswered.
    Change missed(int path, qint64 nowMs, qint64 sentAtMs);
    Change failed(int path, qint64 nowMs);
    // Whether a down path is due for a probe; probed() schedules the next one.
    bool probeDue(int path, qint64 nowMs, bool queriesWaiting = false) const;
    void probed(int path, qint64 nowMs);
    // Every down path is probed at the next chance.
    void probeNow();
    bool anyDown() const;

private:
    struct Path
    {
        bool down = false;
        bool proven = false;
        int misses = 0;
        qint64 since = 0;
        qint64 lastAnswer = -1;
        qint64 nextProbe = 0;
        qint64 lastProbe = 0;
        qint64 probeWait = firstProbeMs;
    };
    static size_t index(int path) { return static_cast<size_t>(path < 0 || path >= pathCount ? 0 : path); }
    Change goDown(Path& p, qint64 nowMs);

    std::array<Path, pathCount> paths{};
};
