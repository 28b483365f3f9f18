// libFuzzer target for the reassembly of DNS answers from the encrypted
// upstreams: the DNS-over-TLS length-prefix cutter and the DNS-over-HTTPS
// response reader (Content-Length, chunked, close-delimited; gzip/deflate
// bodies). The first input byte picks the read size; the same stream fed in
// one read and in pieces must give the same answers.
#include "dnswire/DotFrameReader.h"
#include "dnswire/HttpResponseReader.h"
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

struct HttpResult
{
    QList<QByteArray> bodies;
    QList<int> statuses;
    bool error = false;
};

HttpResult readHttp(const QByteArray& stream, int step)
{
    HttpResult result;
    HttpResponseReader reader;
    HttpResponseReader::Response response;
    for (int offset = 0; offset < stream.size() && !reader.hasError(); offset += step) {
        reader.append(streamPiece(stream, offset, step));
        while (reader.next(response)) {
            check(response.body.size() <= HttpResponseReader::maxBodyBytes);
            result.bodies << response.body;
            result.statuses << response.status;
            QByteArray decoded;
            if (HttpResponseReader::decodeBody(response.contentEncoding, response.body, decoded))
                check(decoded.size() <= HttpResponseReader::maxBodyBytes);
        }
    }
    if (!reader.hasError() && reader.finish(response)) {
        result.bodies << response.body;
        result.statuses << response.status;
    }
    result.error = reader.hasError();
    return result;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    quietQtLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int step = (data[0] % 23) + 1;
    const QByteArray stream(reinterpret_cast<const char*>(data) + 1, static_cast<int>(size - 1));

    // DoT: every message comes out whole, in order, once.
    DotFrameReader whole;
    const QList<QByteArray> expected = whole.append(stream);
    DotFrameReader pieces;
    QList<QByteArray> got;
    for (int offset = 0; offset < stream.size(); offset += step)
        got += pieces.append(streamPiece(stream, offset, step));
    check(got == expected);
    check(pieces.buffered() == whole.buffered());
    int consumed = whole.buffered();
    for (const QByteArray& message : expected) {
        consumed += message.size() + 2;
        // Framing a message again gives back the bytes it came from.
        check(DotFrameReader::frame(message).size() == message.size() + 2);
    }
    check(consumed == stream.size());

    // DoH: the same responses whatever the cut, and an error either way.
    const HttpResult one = readHttp(stream, stream.size() > 0 ? stream.size() : 1);
    const HttpResult cut = readHttp(stream, step);
    check(one.error == cut.error);
    if (!one.error)
        check(one.bodies == cut.bodies && one.statuses == cut.statuses);
    return 0;
}
