#include "devservice/ResolverLogic.h"

namespace {
constexpr quint16 flagQr = 0x8000;
constexpr quint16 flagTc = 0x0200;

DnsWire::Record addressRecord(const QString& name, const QHostAddress& address, quint32 ttl)
{
    DnsWire::Record record;
    record.name = name;
    record.rclass = DnsWire::classIn;
    record.ttl = ttl;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        record.type = DnsWire::typeA;
        DnsWire::appendU32(record.rdata, address.toIPv4Address());
    } else {
        record.type = DnsWire::typeAaaa;
        const Q_IPV6ADDR v6 = address.toIPv6Address();
        record.rdata = QByteArray(reinterpret_cast<const char*>(v6.c), 16);
    }
    return record;
}

bool familyMatches(const QHostAddress& address, quint16 type)
{
    if (type == DnsWire::typeA) {
        return address.protocol() == QAbstractSocket::IPv4Protocol;
    }
    if (type == DnsWire::typeAaaa) {
        return address.protocol() == QAbstractSocket::IPv6Protocol;
    }
    return false;
}
} // namespace

ResolverLogic::ResolverLogic(const ServiceConfig& config, const AccountStore& store)
    : m_config(config), m_store(store)
{
}

ResolverLogic::Decision ResolverLogic::decide(const QByteArray& query) const
{
    Decision decision;
    if (query.size() < DnsWire::headerSize) {
        decision.verdict = QStringLiteral("drop");
        decision.detail = QStringLiteral("%1 bytes, shorter than a header").arg(query.size());
        return decision;
    }
    const quint16 id = DnsWire::readU16(query, 0);
    const quint16 flags = DnsWire::readU16(query, 2);
    if (flags & flagQr) {
        decision.verdict = QStringLiteral("drop");
        decision.detail = QStringLiteral("a response, not a query");
        return decision;
    }
    const DnsWire::IdentityStrip strip = DnsWire::stripIdentity(query);
    if (!strip.ok || strip.badIdentity) {
        decision.kind = Kind::Answer;
        decision.verdict = QStringLiteral("formerr");
        decision.detail = strip.error;
        decision.message = DnsWire::makeHeaderOnlyResponse(id, flags, DnsWire::FormErr);
        return decision;
    }
    decision.marked = strip.hasIdentity;
    decision.token = strip.token;
    if (((flags >> 11) & 0x0F) != 0) {
        decision.kind = Kind::Answer;
        decision.verdict = QStringLiteral("notimp");
        decision.detail = QStringLiteral("opcode %1").arg((flags >> 11) & 0x0F);
        decision.message = DnsWire::makeHeaderOnlyResponse(id, flags, DnsWire::NotImp);
        return decision;
    }
    DnsWire::Question question;
    if (DnsWire::readU16(strip.message, 4) != 1 || !DnsWire::parseQuestion(strip.message, question)) {
        decision.kind = Kind::Answer;
        decision.verdict = QStringLiteral("formerr");
        decision.detail = QStringLiteral("QDCOUNT %1").arg(DnsWire::readU16(strip.message, 4));
        decision.message = DnsWire::makeHeaderOnlyResponse(id, flags, DnsWire::FormErr);
        return decision;
    }
    decision.name = question.name;
    decision.type = question.type;

    if (strip.hasIdentity) {
        const AccountStore::Policy policy = m_store.policyForToken(strip.token);
        if (!policy.known) {
            decision.detail = QStringLiteral("unknown token, unfiltered");
        } else if (AccountStore::isBlocked(question.name, policy.blocked)) {
            decision.detail = QStringLiteral("account %1 profile %2 (%3)")
                                  .arg(policy.accountId)
                                  .arg(policy.profileId)
                                  .arg(policy.profileName);
            return answerBlocked(strip.message, question, decision);
        } else {
            decision.detail =
                QStringLiteral("account %1 profile %2 allows it").arg(policy.accountId).arg(policy.profileId);
        }
    }
    const QString& domain = m_config.domain;
    if (question.name == domain || question.name.endsWith(QLatin1Char('.') + domain)) {
        return answerZone(strip.message, question, decision);
    }
    decision.kind = Kind::Forward;
    decision.verdict = QStringLiteral("forward");
    decision.message = strip.message;
    return decision;
}

ResolverLogic::Decision ResolverLogic::answerBlocked(const QByteArray& query,
                                                     const DnsWire::Question& question,
                                                     Decision decision) const
{
    QList<DnsWire::Record> answers;
    for (const QHostAddress& address : {m_config.blockpageAddress, m_config.blockpageAddressV6}) {
        if (!address.isNull() && familyMatches(address, question.type)) {
            answers.append(addressRecord(question.name, address, m_config.blockTtl));
        }
    }
    decision.kind = Kind::Answer;
    decision.verdict = QStringLiteral("blocked");
    decision.message = DnsWire::makeResponse(query, question, DnsWire::NoError, answers, false);
    return decision;
}

QList<QHostAddress> ResolverLogic::zoneAddresses(const QString& name) const
{
    const QString& domain = m_config.domain;
    if (name == domain || name == m_config.wwwHost()) {
        return {m_config.wwwAddress};
    }
    if (name == m_config.dohHost()) {
        return {m_config.dohAddress};
    }
    if (name == m_config.blockpageHost() || name == m_config.blockpageTlsHost()) {
        return {m_config.blockpageAddress, m_config.blockpageAddressV6};
    }
    return {};
}

ResolverLogic::Decision ResolverLogic::answerZone(const QByteArray& query, const DnsWire::Question& question,
                                                  Decision decision) const
{
    decision.kind = Kind::Answer;
    decision.verdict = QStringLiteral("zone");
    QList<DnsWire::Record> answers;
    const QList<QHostAddress> addresses = zoneAddresses(question.name);
    const bool diagnostic = question.name == m_config.diagnosticHost();
    if (addresses.isEmpty() && !diagnostic) {
        decision.message = DnsWire::makeResponse(query, question, DnsWire::NxDomain, answers, true);
        return decision;
    }
    for (const QHostAddress& address : addresses) {
        if (!address.isNull() && familyMatches(address, question.type)) {
            answers.append(addressRecord(question.name, address, m_config.zoneTtl));
        }
    }
    if (question.name == m_config.domain && question.type == DnsWire::typeSoa) {
        answers.append(DnsWire::Record{question.name, DnsWire::typeSoa, DnsWire::classIn, m_config.zoneTtl,
                                       DnsWire::soaRdata(m_config.domain)});
    }
    if (diagnostic && question.type == DnsWire::typeTxt) {
        QString text;
        if (!decision.marked) {
            text = QStringLiteral("unmarked query: no filtering");
        } else {
            const AccountStore::Policy policy = m_store.policyForToken(decision.token);
            text = policy.known ? QStringLiteral("token=%1 account=%2 profile=%3 name=%4 source=%5")
                                      .arg(decision.token)
                                      .arg(policy.accountId)
                                      .arg(policy.profileId)
                                      .arg(policy.profileName, policy.source)
                                : QStringLiteral("token=%1 unknown: no filtering").arg(decision.token);
        }
        answers.append(
            DnsWire::Record{question.name, DnsWire::typeTxt, DnsWire::classIn, 0, DnsWire::txtRdata(text)});
        answers.append(DnsWire::Record{
            question.name, DnsWire::typeTxt, DnsWire::classIn, 0,
            DnsWire::txtRdata(QStringLiteral("service=corvane-devservice domain=") + m_config.domain)});
    }
    decision.message = DnsWire::makeResponse(query, question, DnsWire::NoError, answers, true);
    return decision;
}

QByteArray ResolverLogic::truncated(const QByteArray& query)
{
    DnsWire::Question question;
    QByteArray answer;
    if (DnsWire::parseQuestion(query, question)) {
        answer = DnsWire::makeResponse(query, question, DnsWire::NoError, {}, false);
    } else {
        answer = DnsWire::makeHeaderOnlyResponse(DnsWire::readU16(query, 0), DnsWire::readU16(query, 2),
                                                 DnsWire::NoError);
    }
    DnsWire::writeU16(answer, 2, DnsWire::readU16(answer, 2) | flagTc);
    return answer;
}

QByteArray ResolverLogic::serverFailure(const QByteArray& query)
{
    DnsWire::Question question;
    if (DnsWire::parseQuestion(query, question)) {
        return DnsWire::makeResponse(query, question, DnsWire::ServFail, {}, false);
    }
    return DnsWire::makeHeaderOnlyResponse(DnsWire::readU16(query, 0), DnsWire::readU16(query, 2),
                                           DnsWire::ServFail);
}

QByteArray ResolverLogic::withId(const QByteArray& message, quint16 id)
{
    QByteArray copy = message;
    DnsWire::writeU16(copy, 0, id);
    return copy;
}
