#include "dns/RemoteDnsServer.h"

#include "dns/DnsMessage.h"
#include "logging/LogHex.h"
#include "logging/LogStream.h"
#include "logging/LoggingCategories.h"
#include "settings/LogMask.h"

#include <QUrl>

#include <utility>

RemoteDnsServer::RemoteDnsServer(UserData::ETypeOfDnsProtocol type, QObject* parent)
    : QObject(parent), typeProtocol(type)
{
    qCInfo(remote_dns_server) << "CREATE";
}

void RemoteDnsServer::slotSendReq(UserData::ETypeOfDnsProtocol type, QByteArray message, DnsRequest request,
                                  bool isIpV4)
{
    if (type != typeProtocol)
        return;
    // Handed on, not shared: marking then appends in place without a copy.
    write(std::move(message), request, isIpV4);
}

DnsRequest RemoteDnsServer::parsingDnsRequest(const QByteArray& message, bool* wellFormed)
{
    return DnsMessage::parse(message, wellFormed);
}

bool RemoteDnsServer::preparationMessage(QByteArray& message)
{
    return preparationMessage(message, static_cast<qint32>(static_cast<quint32>(UserData::getToken())));
}

bool RemoteDnsServer::preparationMessage(QByteArray& message, qint32 token)
{
    const bool logging = debugOn(remote_dns_server());
    const quint16 count = DnsMessage::additionalCount(message);
    if (logging) {
        LOG_DEBUG(remote_dns_server) << "preparationMessage() START" << count
                                     << static_cast<quint16>(count + 1) << LogHex(message);
    }
    if (!DnsMessage::mark(message, token)) {
        qCWarning(remote_dns_server) << "preparationMessage() message cannot carry the identity record, size:"
                                     << message.size() << "ARCOUNT:" << count;
        return false;
    }
    if (logging) {
        LOG_DEBUG(remote_dns_server) << "preparationMessage() END" << LogHex(message)
                                     << LogMask::token(QString::number(static_cast<quint32>(token)));
    }
    return true;
}

bool RemoteDnsServer::markForResolver(QByteArray& message, const QLoggingCategory& category)
{
    if (UserData::getControlDNS() != UserData::ON)
        return false;
    // Only -1 means no token: tokens from 2^31 up are marked like any other,
    // with their 32 bits.
    const qint64 token = UserData::getToken();
    if (token == UserData::noToken) {
        qCWarning(category) << "TOKEN is empty";
        return false;
    }
    return preparationMessage(message, static_cast<qint32>(static_cast<quint32>(token)));
}

QString RemoteDnsServer::describe(const DnsRequest& request)
{
    return QStringLiteral("Id: ") + request.id + QStringLiteral(" Count request: ") +
           QString::number(request.countRequest) + QStringLiteral(" Domain: ") + request.domain +
           QStringLiteral(" Type: ") + QString::number(request.type);
}

QString RemoteDnsServer::resolverHost(const QString& configuredName)
{
    const QUrl url(QStringLiteral("https://") + configuredName, QUrl::TolerantMode);
    return url.host(QUrl::FullyDecoded);
}
