#include "dns/RemoteDnsServer.h"

#include "dnswire/DnsMessage.h"
#include "dnswire/DnsWireLogging.h"
#include "dnswire/QueryMarker.h"

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
    return QueryMarker::mark(message, token, debugOn(remote_dns_server()));
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
