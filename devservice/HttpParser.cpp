#include "devservice/HttpParser.h"

#include <QList>
#include <QUrl>

HttpParser::State HttpParser::fail(int status, const QString& error)
{
    m_errorStatus = status;
    m_error = error;
    m_buffer.clear();
    return State::Bad;
}

HttpParser::State HttpParser::next(HttpRequest& request)
{
    // Tolerate blank lines between requests, as HTTP/1.1 allows.
    while (m_buffer.startsWith("\r\n")) {
        m_buffer.remove(0, 2);
    }
    const int headerEnd = m_buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        if (m_buffer.size() > maxHeaderBytes) {
            return fail(431, QStringLiteral("header block larger than %1 bytes").arg(maxHeaderBytes));
        }
        return State::NeedMore;
    }
    if (headerEnd > maxHeaderBytes) {
        return fail(431, QStringLiteral("header block larger than %1 bytes").arg(maxHeaderBytes));
    }
    const QList<QByteArray> lines = m_buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3 || requestLine[0].isEmpty() || requestLine[1].isEmpty() ||
        !requestLine[2].startsWith("HTTP/1.")) {
        return fail(400, QStringLiteral("malformed request line"));
    }
    HttpRequest parsed;
    parsed.method = requestLine[0];
    parsed.target = requestLine[1];
    parsed.version = requestLine[2];
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty()) {
            continue;
        }
        const int colon = line.indexOf(':');
        if (colon <= 0) {
            return fail(400, QStringLiteral("malformed header line"));
        }
        parsed.headers.append(qMakePair(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()));
    }
    if (!parsed.header("transfer-encoding").isEmpty()) {
        return fail(501, QStringLiteral("transfer encodings are not supported"));
    }
    int bodyLength = 0;
    const QByteArray lengthText = parsed.header("content-length");
    if (!lengthText.isEmpty()) {
        bool ok = false;
        const qlonglong value = lengthText.toLongLong(&ok);
        if (!ok || value < 0) {
            return fail(400, QStringLiteral("bad Content-Length"));
        }
        if (value > maxBodyBytes) {
            return fail(413, QStringLiteral("body larger than %1 bytes").arg(maxBodyBytes));
        }
        bodyLength = static_cast<int>(value);
    }
    const int total = headerEnd + 4 + bodyLength;
    if (m_buffer.size() < total) {
        return State::NeedMore;
    }
    parsed.body = m_buffer.mid(headerEnd + 4, bodyLength);
    m_buffer.remove(0, total);

    const QUrl url(QString::fromLatin1(parsed.target), QUrl::StrictMode);
    if (!parsed.target.startsWith('/') || !url.isValid()) {
        // Still answer: the caller decides on a 404/400 for the odd path.
        parsed.path = QString::fromLatin1(parsed.target);
    } else {
        parsed.path = url.path(QUrl::FullyDecoded);
        parsed.query = QUrlQuery(url.query(QUrl::FullyEncoded));
    }
    request = parsed;
    return State::Ready;
}
