#include "dnswire/QueryMarker.h"

#include "dnswire/DnsMessage.h"
#include "dnswire/DnsWireLogging.h"
#include "logging/LogHex.h"
#include "logging/LogMask.h"
#include "logging/LogStream.h"

bool QueryMarker::mark(QByteArray& message, qint32 token, bool debugLines)
{
    const quint16 count = DnsMessage::additionalCount(message);
    if (debugLines) {
        LOG_DEBUG(remote_dns_server) << "preparationMessage() START" << count
                                     << static_cast<quint16>(count + 1) << LogHex(message);
    }
    if (!DnsMessage::mark(message, token)) {
        qCWarning(remote_dns_server) << "preparationMessage() message cannot carry the identity record, size:"
                                     << message.size() << "ARCOUNT:" << count;
        return false;
    }
    if (debugLines) {
        LOG_DEBUG(remote_dns_server) << "preparationMessage() END" << LogHex(message)
                                     << LogMask::token(QString::number(static_cast<quint32>(token)));
    }
    return true;
}
