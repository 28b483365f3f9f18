#include "dnswire/HttpResponseReader.h"

#include <zlib.h>

namespace {

constexpr int maxLineBytes = 1024;

bool parseDecimal(const QByteArray& text, qint64& value)
{
    const QByteArray trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.size() > 12)
        return false;
    value = 0;
    for (const char c : trimmed) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool parseHex(const QByteArray& text, qint64& value)
{
    const QByteArray trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.size() > 8)
        return false;
    value = 0;
    for (const char c : trimmed) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0)
            return false;
        value = value * 16 + digit;
    }
    return true;
}

bool inflateWith(int windowBits, const QByteArray& input, QByteArray& output)
{
    z_stream stream{};
    if (inflateInit2(&stream, windowBits) != Z_OK)
        return false;
    output.clear();
    char chunk[4096];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
    stream.avail_in = static_cast<uInt>(input.size());
    int result = Z_OK;
    bool ok = true;
    while (result != Z_STREAM_END) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof(chunk);
        result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) {
            ok = false;
            break;
        }
        output.append(chunk, static_cast<int>(sizeof(chunk) - stream.avail_out));
        if (output.size() > HttpResponseReader::maxBodyBytes) {
            ok = false;
            break;
        }
        if (result == Z_OK && stream.avail_in == 0 && stream.avail_out != 0) {
            // Input ended before the compressed stream did.
            ok = false;
            break;
        }
    }
    inflateEnd(&stream);
    return ok;
}

} // namespace

void HttpResponseReader::append(const QByteArray& bytes)
{
    if (hasError())
        return;
    if (offset == buffer.size()) {
        buffer = bytes;
        offset = 0;
        return;
    }
    if (offset > 0 && offset >= buffer.size() / 2) {
        buffer.remove(0, offset);
        offset = 0;
    }
    buffer.append(bytes);
}

void HttpResponseReader::clear()
{
    buffer.clear();
    offset = 0;
    searched = 0;
    stage = Stage::Head;
    current = Response();
    remaining = 0;
    trailerBytes = 0;
    error.clear();
}

bool HttpResponseReader::fail(const QString& reason)
{
    error = reason;
    buffer.clear();
    offset = 0;
    searched = 0;
    return false;
}

int HttpResponseReader::findEnd(const char* terminator, int length)
{
    // The terminator may have begun in the last bytes searched before.
    const int end = buffer.indexOf(terminator, offset + qMax(0, searched - (length - 1)));
    searched = end < 0 ? buffer.size() - offset : 0;
    return end;
}

bool HttpResponseReader::takeLine(QByteArray& line, int limit)
{
    const int end = findEnd("\r\n", 2);
    if (end < 0) {
        if (buffer.size() - offset > limit)
            return fail(QStringLiteral("line too long"));
        return false;
    }
    if (end - offset > limit)
        return fail(QStringLiteral("line too long"));
    line = buffer.mid(offset, end - offset);
    offset = end + 2;
    return true;
}

bool HttpResponseReader::parseHead(const QByteArray& head)
{
    current = Response();
    remaining = 0;
    trailerBytes = 0;
    const QList<QByteArray> lines = head.split('\n');
    if (lines.isEmpty())
        return fail(QStringLiteral("no status line"));
    QByteArray statusLine = lines.first();
    if (statusLine.endsWith('\r'))
        statusLine.chop(1);
    // "HTTP/1.1 200 OK": version, a space, three digits, then a space or the end.
    if (!statusLine.startsWith("HTTP/1.") || statusLine.size() < 12 || statusLine.at(8) != ' ' ||
        (statusLine.size() > 12 && statusLine.at(12) != ' '))
        return fail(QStringLiteral("bad status line"));
    qint64 status = 0;
    if (!parseDecimal(statusLine.mid(9, 3), status) || status < 100)
        return fail(QStringLiteral("bad status code"));
    current.status = static_cast<int>(status);

    bool haveLength = false;
    qint64 length = 0;
    bool chunked = false;
    for (int i = 1; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (line.isEmpty() && i == lines.size() - 1)
            break; // behind the head's last CR LF
        if (!line.endsWith('\r'))
            return fail(QStringLiteral("bare line feed in header"));
        line.chop(1);
        const int colon = line.indexOf(':');
        if (colon <= 0 || line.at(0) == ' ' || line.at(0) == '\t')
            return fail(QStringLiteral("bad header line: ") +
                        QString::fromLatin1(line.left(64).toPercentEncoding()));
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        current.headerLines.append(line);
        if (name == "content-length") {
            qint64 parsed = 0;
            if (!parseDecimal(value, parsed))
                return fail(QStringLiteral("bad Content-Length"));
            if (haveLength && parsed != length)
                return fail(QStringLiteral("conflicting Content-Length"));
            haveLength = true;
            length = parsed;
        } else if (name == "transfer-encoding") {
            const QByteArray codings = value.toLower();
            if (codings != "chunked" && codings != "identity")
                return fail(QStringLiteral("unsupported Transfer-Encoding"));
            chunked = chunked || codings == "chunked";
        } else if (name == "content-encoding") {
            current.contentEncoding = value.toLower();
        }
    }
    if (current.status == 101)
        return fail(QStringLiteral("unexpected protocol switch"));
    if (current.status < 200) {
        stage = Stage::Head; // an interim response: the real one follows
        return true;
    }
    if (current.status == 204 || current.status == 304) {
        stage = Stage::Body;
        remaining = 0;
        return true;
    }
    if (chunked) {
        stage = Stage::ChunkSize;
        return true;
    }
    if (haveLength) {
        if (length > maxBodyBytes)
            return fail(QStringLiteral("body too large"));
        stage = Stage::Body;
        remaining = length;
        return true;
    }
    stage = Stage::UntilClose;
    return true;
}

void HttpResponseReader::finishResponse(Response& response)
{
    response = current;
    current = Response();
    stage = Stage::Head;
    remaining = 0;
}

bool HttpResponseReader::next(Response& response)
{
    for (;;) {
        if (hasError())
            return false;
        const int available = buffer.size() - offset;
        switch (stage) {
        case Stage::Head: {
            // Tolerate empty lines between responses.
            while (buffer.size() - offset >= 2 && buffer.at(offset) == '\r' &&
                   buffer.at(offset + 1) == '\n') {
                offset += 2;
                searched = 0;
            }
            // A CR whose LF has not arrived yet may still be such an empty line:
            // the answer must not depend on how the stream was split into reads.
            if (buffer.size() - offset == 1 && buffer.at(offset) == '\r')
                return false;
            // Whatever does not begin like a status line is not HTTP.
            const int prefix = qMin(buffer.size() - offset, 7);
            if (qstrncmp(buffer.constData() + offset, "HTTP/1.", static_cast<uint>(prefix)) != 0)
                return fail(QStringLiteral("not an HTTP response"));
            const int end = findEnd("\r\n\r\n", 4);
            if (end < 0) {
                if (buffer.size() - offset > maxHeaderBytes)
                    return fail(QStringLiteral("header too large"));
                return false;
            }
            if (end - offset > maxHeaderBytes)
                return fail(QStringLiteral("header too large"));
            const QByteArray head = buffer.mid(offset, end - offset + 2);
            offset = end + 4;
            if (!parseHead(head))
                return false;
            break;
        }
        case Stage::Body: {
            const qint64 take = qMin<qint64>(remaining, available);
            current.body.append(buffer.constData() + offset, static_cast<int>(take));
            offset += static_cast<int>(take);
            remaining -= take;
            if (remaining > 0)
                return false;
            finishResponse(response);
            return true;
        }
        case Stage::ChunkSize: {
            QByteArray line;
            if (!takeLine(line, maxLineBytes))
                return false;
            const int extension = line.indexOf(';');
            if (extension >= 0)
                line.truncate(extension);
            qint64 size = 0;
            if (!parseHex(line, size))
                return fail(QStringLiteral("bad chunk size"));
            if (size == 0) {
                stage = Stage::Trailer;
                break;
            }
            if (current.body.size() + size > maxBodyBytes)
                return fail(QStringLiteral("body too large"));
            remaining = size;
            stage = Stage::ChunkData;
            break;
        }
        case Stage::ChunkData: {
            const qint64 take = qMin<qint64>(remaining, available);
            current.body.append(buffer.constData() + offset, static_cast<int>(take));
            offset += static_cast<int>(take);
            remaining -= take;
            if (remaining > 0)
                return false;
            stage = Stage::ChunkDataEnd;
            break;
        }
        case Stage::ChunkDataEnd:
            if (available < 2)
                return false;
            if (buffer.at(offset) != '\r' || buffer.at(offset + 1) != '\n')
                return fail(QStringLiteral("chunk not followed by CR LF"));
            offset += 2;
            stage = Stage::ChunkSize;
            break;
        case Stage::Trailer: {
            QByteArray line;
            if (!takeLine(line, maxLineBytes))
                return false;
            if (line.isEmpty()) {
                finishResponse(response);
                return true;
            }
            trailerBytes += line.size();
            if (trailerBytes > maxHeaderBytes)
                return fail(QStringLiteral("trailer too large"));
            break;
        }
        case Stage::UntilClose:
            if (available > 0) {
                current.body.append(buffer.constData() + offset, available);
                offset += available;
            }
            if (current.body.size() > maxBodyBytes)
                return fail(QStringLiteral("body too large"));
            return false;
        }
    }
}

bool HttpResponseReader::finish(Response& response)
{
    if (hasError() || stage != Stage::UntilClose)
        return false;
    const int available = buffer.size() - offset;
    if (available > 0) {
        current.body.append(buffer.constData() + offset, available);
        offset += available;
    }
    if (current.body.size() > maxBodyBytes)
        return fail(QStringLiteral("body too large"));
    finishResponse(response);
    return true;
}

bool HttpResponseReader::decodeBody(const QByteArray& coding, const QByteArray& body, QByteArray& decoded)
{
    if (coding.isEmpty() || coding == "identity") {
        decoded = body;
        return true;
    }
    if (coding == "gzip" || coding == "x-gzip")
        return inflateWith(15 + 16, body, decoded);
    if (coding == "deflate")
        return inflateWith(15, body, decoded) || inflateWith(-15, body, decoded);
    return false;
}
