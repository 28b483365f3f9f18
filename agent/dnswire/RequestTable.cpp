#include "dnswire/RequestTable.h"

#include "dnswire/DnsMessage.h"

#include <cstring>

namespace {

// Upstream IDs are drawn at random from the free ones; keeping the table at a
// quarter of the ID space at most keeps the draw short.
constexpr int idSpace = 65536;
constexpr int largestBound = idSpace / 4;

// NH (the hash of UMAC) over 64-bit words with a secret key of one word
// per input word: without the key, which like the hashes never leaves the
// process, no other question can be chosen to give the same value (the
// chance is about 2^-64 per try), so a forged answer cannot pass for another
// question. One multiplication per two words: the question of every query
// and of every answer is hashed.
__extension__ typedef unsigned __int128 Wide;

quint64 nhHash(const quint64* key, const quint64* words, int count)
{
    Wide sum = 0;
    for (int i = 0; i < count; i += 2) {
        const quint64 a = words[i] + key[i];
        const quint64 b = words[i + 1] + key[i + 1];
        sum += static_cast<Wide>(a) * b;
    }
    return static_cast<quint64>(sum) ^ static_cast<quint64>(sum >> 64);
}

// ASCII upper-case letters of eight bytes at once made lower case. Length
// bytes of a name (0..63) are never letters.
inline quint64 foldCase(quint64 w)
{
    constexpr quint64 high = 0x8080808080808080ULL;
    constexpr quint64 low7 = 0x7F7F7F7F7F7F7F7FULL;
    const quint64 heptets = w & low7;
    const quint64 aboveZ = heptets + 0x2525252525252525ULL; // high bit: byte > 'Z'
    const quint64 fromA = heptets + 0x3F3F3F3F3F3F3F3FULL;  // high bit: byte >= 'A'
    const quint64 upper = ~w & (fromA ^ aboveZ) & high;
    return w | (upper >> 2);
}

} // namespace

RequestTable::RequestTable(int maxEntries, qint64 lifetimeMs)
    : bound(qBound(1, maxEntries, largestBound)), lifetime(lifetimeMs > 0 ? lifetimeMs : defaultLifetimeMs)
{
    for (quint64& word : hashKey)
        word = random.next64();
}

quint64 RequestTable::questionHash(const QByteArray& message) const
{
    const int end = DnsMessage::questionEnd(message);
    if (end < 0)
        return 0;
    // The name's wire bytes with letters lower-cased, in words (the last
    // one padded with zeros), then a word of QTYPE, QCLASS and the length.
    const int nameSize = end - 4 - DnsMessage::headerSize;
    const int nameWords = (nameSize + 7) / 8;
    quint64 words[questionWords];
    if (nameWords + 1 > int(sizeof words / sizeof words[0]))
        return 0;
    const char* bytes = message.constData();
    words[nameWords - 1] = 0; // the padding of the last word
    std::memcpy(words, bytes + DnsMessage::headerSize, static_cast<size_t>(nameSize));
    for (int i = 0; i < nameWords; ++i)
        words[i] = foldCase(words[i]);
    quint32 typeAndClass = 0;
    std::memcpy(&typeAndClass, bytes + end - 4, 4);
    words[nameWords] = (quint64(typeAndClass) << 32) | quint64(nameSize);
    int count = nameWords + 1;
    if (count % 2 != 0)
        words[count++] = 0;
    const quint64 hash = nhHash(hashKey, words, count);
    // 0 stands for "no question": a real hash of 0 becomes 1.
    return hash == 0 ? 1 : hash;
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

void RequestTable::remove(int index, Unanswered* out)
{
    Slot& slot = entries[static_cast<size_t>(index)];
    if (out) {
        out->client = slot.client;
        out->upstreamId = static_cast<quint16>(index);
        out->query = slot.query;
        out->protocols = slot.protocols;
    }
    slot.query = QByteArray();
    unlink(index);
    byClient.remove(clientKey(slot.client.port, slot.client.id, slot.client.isIpV4));
    slot.used = false;
    --count;
}

int RequestTable::freeId()
{
    for (;;) {
        const int candidate = static_cast<int>(random.next16());
        if (!entries[static_cast<size_t>(candidate)].used)
            return candidate;
    }
}

int RequestTable::expire(qint64 nowMs, std::vector<Unanswered>* expired)
{
    int removed = 0;
    while (head >= 0 && entries[static_cast<size_t>(head)].expiresAt <= nowMs) {
        if (expired) {
            expired->emplace_back();
            remove(head, &expired->back());
        } else {
            remove(head);
        }
        ++removed;
    }
    return removed;
}

void RequestTable::dueForRetry(qint64 nowMs, qint64 afterMs, std::vector<Unanswered>& due)
{
    // Oldest first: the walk ends at the first entry not yet due.
    for (int index = head; index >= 0;) {
        Slot& slot = entries[static_cast<size_t>(index)];
        if (slot.client.time + afterMs > nowMs)
            break;
        if (!slot.retried) {
            slot.retried = true;
            due.push_back(Unanswered{slot.client, static_cast<quint16>(index), slot.query, slot.protocols});
        }
        index = slot.next;
    }
}

void RequestTable::setQuery(quint16 upstreamId, const QByteArray& query)
{
    if (contains(upstreamId))
        entries[upstreamId].query = query;
}

void RequestTable::setRoute(quint16 upstreamId, int protocol, qint8 path, bool toNetwork)
{
    if (!contains(upstreamId))
        return;
    Slot& slot = entries[upstreamId];
    slot.protocols |= static_cast<quint8>(1u << (protocol & 7));
    slot.client.path = path;
    slot.client.toNetwork = toNetwork;
}

RequestTable::Added RequestTable::add(quint16 port, quint16 clientId, bool isIpV4, qint64 nowMs,
                                      const QByteArray& query, int protocol, Unanswered* dropped)
{
    const quint8 protocolBit = static_cast<quint8>(1u << (protocol & 7));
    if (entries.empty())
        entries.resize(idSpace);
    Added added;
    const quint64 key = clientKey(port, clientId, isIpV4);
    const auto found = byClient.constFind(key);
    if (found != byClient.constEnd()) {
        const int index = found.value();
        Slot& slot = entries[static_cast<size_t>(index)];
        slot.client.time = nowMs;
        slot.expiresAt = nowMs + lifetime;
        slot.retried = false;
        const quint64 question = questionHash(query);
        if (question == slot.question) {
            slot.protocols |= protocolBit;
        } else {
            // The client reused its ID for another question: the answer it
            // waits for now is to that one.
            slot.question = question;
            slot.questionCount = DnsMessage::questionCount(query);
            slot.protocols = protocolBit;
        }
        unlink(index);
        linkLast(index);
        added.upstreamId = static_cast<quint16>(index);
        added.duplicate = true;
        return added;
    }
    if (count >= bound) {
        remove(head, dropped);
        added.evicted = true;
    }
    const int index = freeId();
    Slot& slot = entries[static_cast<size_t>(index)];
    slot.client = Client{port, clientId, isIpV4, nowMs, -1, false};
    slot.expiresAt = nowMs + lifetime;
    slot.question = questionHash(query);
    slot.questionCount = DnsMessage::questionCount(query);
    slot.protocols = protocolBit;
    slot.retried = false;
    slot.query = query;
    slot.used = true;
    linkLast(index);
    byClient.insert(key, static_cast<quint16>(index));
    ++count;
    added.upstreamId = static_cast<quint16>(index);
    return added;
}

RequestTable::Verdict RequestTable::takeAnswer(const QByteArray& answer, int protocol, Client& client,
                                               quint16* upstreamId)
{
    if (answer.size() < DnsMessage::headerSize)
        return Verdict::TooShort;
    if (!DnsMessage::isResponse(answer))
        return Verdict::NotAnAnswer;
    const quint16 id = DnsMessage::id(answer);
    if (upstreamId)
        *upstreamId = id;
    if (!contains(id))
        return Verdict::UnknownId;
    const Slot& slot = entries[id];
    if ((slot.protocols & (1u << (protocol & 7))) == 0)
        return Verdict::WrongTransport;
    if (slot.question == 0 || DnsMessage::questionCount(answer) != slot.questionCount ||
        questionHash(answer) != slot.question)
        return Verdict::WrongQuestion;
    take(id, client);
    return Verdict::Taken;
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
