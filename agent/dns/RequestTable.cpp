#include "RequestTable.h"

namespace {

// Upstream IDs are drawn at random from the free ones; keeping the table at a
// quarter of the ID space at most keeps the draw short.
constexpr int idSpace = 65536;
constexpr int largestBound = idSpace / 4;

} // namespace

RequestTable::RequestTable(int maxEntries, qint64 lifetimeMs)
    : random(QRandomGenerator::system()->generate()), bound(qBound(1, maxEntries, largestBound)),
      lifetime(lifetimeMs > 0 ? lifetimeMs : defaultLifetimeMs)
{
}

quint64 RequestTable::clientKey(quint16 port, quint16 clientId, bool isIpV4)
{
    return (quint64(isIpV4 ? 1 : 0) << 32) | (quint64(port) << 16) | clientId;
}

void RequestTable::unlink(int index)
{
    Slot& slot = entries[static_cast<size_t>(index)];
    if (slot.prev >= 0)
        entries[static_cast<size_t>(slot.prev)].next = slot.next;
    else
        head = slot.next;
    if (slot.next >= 0)
        entries[static_cast<size_t>(slot.next)].prev = slot.prev;
    else
        tail = slot.prev;
    slot.prev = slot.next = -1;
}

void RequestTable::linkLast(int index)
{
    Slot& slot = entries[static_cast<size_t>(index)];
    slot.prev = tail;
    slot.next = -1;
    if (tail >= 0)
        entries[static_cast<size_t>(tail)].next = index;
    else
        head = index;
    tail = index;
}

void RequestTable::remove(int index)
{
    Slot& slot = entries[static_cast<size_t>(index)];
    unlink(index);
    byClient.remove(clientKey(slot.client.port, slot.client.id, slot.client.isIpV4));
    slot.used = false;
    --count;
}

int RequestTable::freeId()
{
    for (;;) {
        const int candidate = static_cast<int>(random.bounded(idSpace));
        if (!entries[static_cast<size_t>(candidate)].used)
            return candidate;
    }
}

int RequestTable::expire(qint64 nowMs)
{
    int removed = 0;
    while (head >= 0 && entries[static_cast<size_t>(head)].expiresAt <= nowMs) {
        remove(head);
        ++removed;
    }
    return removed;
}

RequestTable::Added RequestTable::add(quint16 port, quint16 clientId, bool isIpV4, qint64 nowMs)
{
    if (entries.empty())
        entries.resize(idSpace);
    expire(nowMs);
    Added added;
    const quint64 key = clientKey(port, clientId, isIpV4);
    const auto found = byClient.constFind(key);
    if (found != byClient.constEnd()) {
        const int index = found.value();
        Slot& slot = entries[static_cast<size_t>(index)];
        slot.client.time = nowMs;
        slot.expiresAt = nowMs + lifetime;
        unlink(index);
        linkLast(index);
        added.upstreamId = static_cast<quint16>(index);
        added.duplicate = true;
        return added;
    }
    if (count >= bound) {
        remove(head);
        added.evicted = true;
    }
    const int index = freeId();
    Slot& slot = entries[static_cast<size_t>(index)];
    slot.client = Client{port, clientId, isIpV4, nowMs};
    slot.expiresAt = nowMs + lifetime;
    slot.used = true;
    linkLast(index);
    byClient.insert(key, static_cast<quint16>(index));
    ++count;
    added.upstreamId = static_cast<quint16>(index);
    return added;
}

bool RequestTable::take(quint16 upstreamId, Client& client)
{
    if (entries.empty() || !entries[upstreamId].used)
        return false;
    client = entries[upstreamId].client;
    remove(upstreamId);
    return true;
}

bool RequestTable::contains(quint16 upstreamId) const
{
    return !entries.empty() && entries[upstreamId].used;
}

QList<quint16> RequestTable::upstreamIds() const
{
    QList<quint16> ids;
    ids.reserve(count);
    for (int index = head; index >= 0; index = entries[static_cast<size_t>(index)].next)
        ids.append(static_cast<quint16>(index));
    return ids;
}
