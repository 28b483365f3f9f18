#include "dns/DotRemoteServer.h"

#include "dns/DnsLogging.h"
#include "dnswire/DnsMessage.h"
#include "logging/LogHex.h"
#include "logging/LogStream.h"

DotRemoteServer::DotRemoteServer(QObject* parent, quint16 port)
    : TlsRemoteServer(UserData::DOT, port, &dot_remoteserver, parent), dotPort(port)
{
    setMaxConnections(maxConnections, secondConnectionAt);
}

QByteArray DotRemoteServer::buildRequest(const QByteArray& message)
{
    return DotFrameReader::frame(message);
}

void DotRemoteServer::readStream(const QByteArray& bytes)
{
    const bool logging = debugOn(log());
    if (logging)
        LOG_DEBUG(log()) << "slotReadyReadRemote" << bytes.size();
    const QList<QByteArray> answers = reader.append(bytes);
    for (const QByteArray& answer : answers) {
        answerArrived(answer);
        if (logging) {
            const DnsRequest parsed = parsingDnsRequest(answer);
            const QString answerIp = parsed.type == DnsMessage::typeA
                                         ? QStringLiteral("ANSWER IP: ") + parsed.answerIp
                                         : QString();
            LOG_DEBUG(log()) << "slotReadyReadRemote()" << answerIp << "DNS:" << LogHex(answer);
        }
    }
}
