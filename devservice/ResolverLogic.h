#pragma once

#include "devservice/AccountStore.h"
#include "devservice/DnsWire.h"
#include "devservice/ServiceConfig.h"

#include <QByteArray>
#include <QString>

// What the resolver does with one query, decided without any socket: drop it,
// answer it here (blocked names, the service's own zone, malformed queries), or
// forward it to the upstream server with the identity record taken off.
class ResolverLogic
{
public:
    enum class Kind
    {
        Drop,
        Answer,
        Forward,
    };

    struct Decision
    {
        Kind kind = Kind::Drop;
        QByteArray message; // the answer, or the query to forward
        QString name;
        quint16 type = 0;
        bool marked = false;
        quint32 token = 0;
        QString verdict; // "blocked", "zone", "forward", "formerr", ... for the log
        QString detail;
    };

    ResolverLogic(const ServiceConfig& config, const AccountStore& store);

    Decision decide(const QByteArray& query) const;

    // Answers built for fault rules and upstream failures.
    static QByteArray truncated(const QByteArray& query);
    static QByteArray serverFailure(const QByteArray& query);
    static QByteArray withId(const QByteArray& message, quint16 id);

private:
    Decision answerBlocked(const QByteArray& query, const DnsWire::Question& question,
                           Decision decision) const;
    Decision answerZone(const QByteArray& query, const DnsWire::Question& question, Decision decision) const;
    QList<QHostAddress> zoneAddresses(const QString& name) const;

    const ServiceConfig& m_config;
    const AccountStore& m_store;
};
