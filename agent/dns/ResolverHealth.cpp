#include "dns/ResolverHealth.h"

ResolverHealth::Change ResolverHealth::answered(int path, qint64 nowMs)
{
    Path& p = paths[index(path)];
    p.misses = 0;
    p.proven = true;
    p.lastAnswer = nowMs;
    if (!p.down)
        return Change::None;
    p.down = false;
    p.since = nowMs;
    p.probeWait = firstProbeMs;
    return Change::Up;
}

ResolverHealth::Change ResolverHealth::missed(int path, qint64 nowMs, qint64 sentAtMs)
{
    Path& p = paths[index(path)];
    if (p.down || p.lastAnswer > sentAtMs || ++p.misses < missesToDown)
        return Change::None;
    return goDown(p, nowMs);
}

ResolverHealth::Change ResolverHealth::failed(int path, qint64 nowMs)
{
    Path& p = paths[index(path)];
    if (p.down)
        return Change::None;
    return goDown(p, nowMs);
}

ResolverHealth::Change ResolverHealth::goDown(Path& p, qint64 nowMs)
{
    p.down = true;
    p.misses = 0;
    p.since = nowMs;
    p.probeWait = firstProbeMs;
    p.nextProbe = nowMs + firstProbeMs;
    p.lastProbe = nowMs;
    return Change::Down;
}

bool ResolverHealth::probeDue(int path, qint64 nowMs, bool queriesWaiting) const
{
    const Path& p = paths[index(path)];
    if (!p.down)
        return false;
    return nowMs >= p.nextProbe || (queriesWaiting && nowMs - p.lastProbe >= trialEveryMs);
}

void ResolverHealth::probed(int path, qint64 nowMs)
{
    Path& p = paths[index(path)];
    p.probeWait = qMin(p.probeWait * 2, maxProbeMs);
    p.nextProbe = nowMs + p.probeWait;
    p.lastProbe = nowMs;
}

void ResolverHealth::probeNow()
{
    for (Path& p : paths) {
        if (p.down) {
            p.nextProbe = 0;
            p.probeWait = firstProbeMs;
        }
    }
}

bool ResolverHealth::anyDown() const
{
    for (const Path& p : paths) {
        if (p.down)
            return true;
    }
    return false;
}
