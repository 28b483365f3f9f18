#pragma once

#include "dnswire/DnsRequest.h"
#include "settings/UserData.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QLoggingCategory>
#include <QObject>

// Common interface of the three upstream transports (plain UDP, DNS-over-TLS,
// DNS-over-HTTPS) and the wire handling they share: reading a message's
// header and first question, and marking a query with the account's
// identity record.
class RemoteDnsServer : public QObject
{
    Q_OBJECT
public:
    explicit RemoteDnsServer(UserData::ETypeOfDnsProtocol type, QObject* parent = nullptr);

    virtual QAbstractSocket::SocketState state() const = 0;
    virtual void write(QByteArray message, DnsRequest& request, bool isIpV4) = 0;
    virtual void disconnectFromHost() const = 0;
    // Between holdWrites() and sendHeld() the queries written are kept and
    // then sent together (one system call where the transport allows): the
    // listener holds them while it reads a batch of queries.
    virtual void holdWrites() {}
    virtual void sendHeld() {}

    UserData::ETypeOfDnsProtocol protocol() const { return typeProtocol; }

    // Header and first question; never reads outside the message.
    static DnsRequest parsingDnsRequest(const QByteArray& message, bool* wellFormed = nullptr);
    // Appends the identity record with the account token (UserData::getToken()).
    static bool preparationMessage(QByteArray& message);
    static bool preparationMessage(QByteArray& message, qint32 token);
    // Marks `message` when protection is on and a token exists; with
    // protection on and no token logs "TOKEN is empty" under `category` and
    // leaves it unmarked. Returns whether it was marked.
    static bool markForResolver(QByteArray& message, const QLoggingCategory& category);
    // Per-query debug lines are built only when they will be written: the
    // category is on and the agent's log switch is on.
    static bool debugOn(const QLoggingCategory& category)
    {
        return category.isDebugEnabled() && UserData::getStatusLog();
    }
    // The host part, fully decoded, of the DoH/DoT resolver URL built from
    // the configured name ("https://" + name).
    static QString resolverHost(const QString& configuredName);
    // The log items "Id:", "Count request:", "Domain:", "Type:" of a query.
    static QString describe(const DnsRequest& request);

public slots:
    virtual void slotSendReq(UserData::ETypeOfDnsProtocol type, QByteArray message, DnsRequest request,
                             bool isIpV4);
    virtual void slotStart() = 0;
    // The interfaces or their addresses changed, or the machine woke up: a
    // connection opened before may lead nowhere now.
    virtual void slotNetworkChanged() {}

signals:
    // One whole DNS answer from upstream.
    void signalReadyRead(QByteArray message);
    // After each batch of answers handed on with signalReadyRead (one read
    // of the transport): the listener sends the answers it held meanwhile.
    void signalAnswersRead();
    // A connection to the resolver could not be set up (refused, unreachable,
    // a failed handshake or certificate check): the path is down without
    // waiting for queries to go unanswered.
    void signalConnectionFailed();

protected:
    const UserData::ETypeOfDnsProtocol typeProtocol;
};
