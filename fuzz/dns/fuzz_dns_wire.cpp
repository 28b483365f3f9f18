// libFuzzer target for the DNS proxy's pure wire handling: the query/answer
// reader, the identity marking, the DNS-over-TLS stream cutter and the HTTP
// response cutter. Every input must be handled without a read outside it.
#include "dnswire/DnsMessage.h"
#include "dnswire/DotFrameReader.h"
#include "dnswire/HttpResponseReader.h"
#include "dnswire/RequestTable.h"
#include "fuzz/FuzzSupport.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

void fuzzMessage(const QByteArray& data)
{
    bool wellFormed = false;
    const DnsRequest request = DnsMessage::parse(data, &wellFormed);
    check(request.id.size() == (data.isEmpty() ? 0 : 4));
    QByteArray marked = data;
    if (DnsMessage::mark(marked, 0x12345678)) {
        check(marked.size() == data.size() + DnsMessage::identityRecordSize);
        check(DnsMessage::additionalCount(marked) == DnsMessage::additionalCount(data) + 1);
        // The identity record goes behind the question: a whole question reads the same.
        bool markedWellFormed = false;
        const DnsRequest again = DnsMessage::parse(marked, &markedWellFormed);
        if (wellFormed)
            check(markedWellFormed && again.domain == request.domain && again.type == request.type);
    } else {
        check(marked == data);
    }
}

void fuzzStream(const QByteArray& data)
{
    // Feed the stream in pieces whose sizes come from the input itself.
    DotFrameReader reader;
    int total = 0;
    int offset = 1;
    const int step = data.isEmpty() ? 1 : (static_cast<uchar>(data.at(0)) % 17) + 1;
    while (offset < data.size()) {
        const QList<QByteArray> frames = reader.append(streamPiece(data, offset, step));
        for (const QByteArray& frame : frames)
            total += frame.size() + 2;
        offset += step;
    }
    check(total + reader.buffered() == qMax(0, data.size() - 1));
}

void fuzzHttp(const QByteArray& data)
{
    HttpResponseReader reader;
    const int step = data.isEmpty() ? 1 : (static_cast<uchar>(data.at(0)) % 31) + 1;
    HttpResponseReader::Response response;
    for (int offset = 1; offset < data.size(); offset += step) {
        reader.append(streamPiece(data, offset, step));
        while (reader.next(response)) {
            check(response.body.size() <= HttpResponseReader::maxBodyBytes);
            QByteArray decoded;
            if (HttpResponseReader::decodeBody(response.contentEncoding, response.body, decoded))
                check(decoded.size() <= HttpResponseReader::maxBodyBytes);
        }
        if (reader.hasError())
            return;
    }
    if (reader.finish(response))
        check(response.body.size() <= HttpResponseReader::maxBodyBytes);
}

void fuzzInflate(const QByteArray& data)
{
    QByteArray decoded;
    if (HttpResponseReader::decodeBody("gzip", data, decoded))
        check(decoded.size() <= HttpResponseReader::maxBodyBytes);
    if (HttpResponseReader::decodeBody("deflate", data, decoded))
        check(decoded.size() <= HttpResponseReader::maxBodyBytes);
}

void fuzzTable(const QByteArray& data)
{
    // Each 4 bytes: port, client ID; the low bit of the port picks the family,
    // the next picks take instead of add.
    // One table for the whole run (its slot array is large); each input
    // starts far enough in the future that every earlier entry has expired.
    static RequestTable table(64, 50);
    static qint64 now = 0;
    now += 1000000;
    table.expire(now);
    check(table.size() == 0);
    for (int i = 0; i + 4 <= data.size(); i += 4) {
        const auto* b = reinterpret_cast<const uchar*>(data.constData()) + i;
        const quint16 port = static_cast<quint16>((b[0] << 8) | b[1]);
        const quint16 id = static_cast<quint16>((b[2] << 8) | b[3]);
        now += b[3] & 7;
        if (port & 2) {
            RequestTable::Client client;
            const bool had = table.contains(id);
            check(table.take(id, client) == had);
        } else {
            const RequestTable::Added added = table.add(port, id, port & 1, now);
            check(table.contains(added.upstreamId));
        }
        check(table.size() <= table.maxEntries());
        check(table.upstreamIds().size() == table.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    quietQtLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray data(reinterpret_cast<const char*>(bytes) + 1, static_cast<int>(size - 1));
    switch (bytes[0] % 5) {
    case 0:
        fuzzMessage(data);
        break;
    case 1:
        fuzzStream(data);
        break;
    case 2:
        fuzzHttp(data);
        break;
    case 3:
        fuzzInflate(data);
        break;
    default:
        fuzzTable(data);
        break;
    }
    return 0;
}
