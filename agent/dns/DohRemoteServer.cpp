#include "dns/DohRemoteServer.h"

#include "dns/DnsLogging.h"
#include "dnswire/DnsMessage.h"
#include "logging/LogHex.h"
#include "logging/LogStream.h"
#include "settings/ConstData.h"

DohRemoteServer::DohRemoteServer(QObject* parent, quint16 port)
    : TlsRemoteServer(UserData::DOH, port, &doh_remoteserver, parent), dohPort(port)
{
    setMaxConnections(maxConnections);
}

QString DohRemoteServer::userAgent()
{
    return ConstData::getAppName() + QLatin1Char('/') + ConstData::getVersion() + QStringLiteral(" (") +
           ConstData::getOS() + QLatin1Char(')');
}

QByteArray DohRemoteServer::buildHttpRequest(const QString& host, const QString& userAgent,
                                             const QByteArray& message)
{
    QByteArray request;
    request.reserve(320 + message.size());
    request.append("POST / HTTP/1.1\r\nHost: ");
    request.append(host.toUtf8());
    request.append("\r\nAccept: application/dns-message\r\n"
                   "Content-Type: application/dns-message\r\n"
                   "Content-Length: ");
    request.append(QByteArray::number(message.size()));
    request.append("\r\nConnection: Keep-Alive\r\n"
                   "Accept-Encoding: gzip, deflate\r\n"
                   "Accept-Language: ru-RU,en,*\r\n"
                   "User-Agent: ");
    request.append(userAgent.toUtf8());
    request.append("\r\n\r\n");
    request.append(message);
    return request;
}

void DohRemoteServer::slotStart()
{
    // Fixed for the life of the process: read once, not per query.
    agentName = userAgent();
    TlsRemoteServer::slotStart();
}

QByteArray DohRemoteServer::buildRequest(const QByteArray& message)
{
    return buildHttpRequest(host(), agentName, message);
}

void DohRemoteServer::readStream(const QByteArray& bytes)
{
    if (debugOn(log()))
        LOG_DEBUG(log()) << "slotReadyReadRemote() BEGIN" << bytes.size();
    reader.append(bytes);
    HttpResponseReader::Response response;
    while (reader.next(response))
        handleResponse(response);
    if (reader.hasError())
        abortConnection(reader.errorString());
}

void DohRemoteServer::connectionClosed()
{
    HttpResponseReader::Response response;
    while (reader.next(response))
        handleResponse(response);
    if (reader.finish(response))
        handleResponse(response);
}

void DohRemoteServer::handleResponse(const HttpResponseReader::Response& response)
{
    if (response.status < 200 || response.status > 299) {
        qCWarning(log()) << "slotReadyReadRemote() HTTP status" << response.status << "no answer";
        responseWithoutAnswer();
        return;
    }
    QByteArray answer;
    if (!HttpResponseReader::decodeBody(response.contentEncoding, response.body, answer)) {
        qCWarning(log()) << "slotReadyReadRemote() body cannot be decoded, Content-Encoding:"
                         << response.contentEncoding;
        responseWithoutAnswer();
        return;
    }
    if (answer.size() < DnsMessage::headerSize) {
        qCWarning(log()) << "slotReadyReadRemote() answer too short, dropped:" << answer.toHex();
        responseWithoutAnswer();
        return;
    }
    answerArrived(answer);
    if (debugOn(log())) {
        const DnsRequest parsed = parsingDnsRequest(answer);
        const QString answerIp =
            parsed.type == DnsMessage::typeA ? QStringLiteral("ANSWER IP: ") + parsed.answerIp : QString();
        QStringList head;
        for (const QByteArray& line : response.headerLines)
            head.append(QString::fromUtf8(line));
        LOG_DEBUG(log()) << "slotReadyReadRemote() END"
                         << "HEAD:" << head << answerIp << "DNS:" << LogHex(answer);
    }
}
