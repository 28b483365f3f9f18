#include "devservice/TokenIssuer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestTokenIssuer : public QObject
{
    Q_OBJECT
private slots:
    void issuedTokenVerifies();
    void payloadReadsWithStandardAlphabet();
    void expiryIsStrict();
    void refusesTampering_data();
    void refusesTampering();
    void otherSecretRefuses();
    void urlSafePayloadStillVerifies();
};

namespace {
const qint64 now = 1800000000;
}

void TestTokenIssuer::issuedTokenVerifies()
{
    const TokenIssuer issuer("secret", false);
    const TokenIssuer::Pair pair = issuer.issuePair(101, now, 120, 86400);
    QCOMPARE(pair.access.split(QLatin1Char('.')).size(), 3);
    const TokenIssuer::Check access = issuer.verify(pair.access, QStringLiteral("access"), now);
    QVERIFY2(access.ok, qPrintable(access.error));
    QCOMPARE(access.userId, 101);
    QCOMPARE(access.exp, now + 120);
    QVERIFY(issuer.verify(pair.refresh, QStringLiteral("refresh"), now).ok);
    // A refresh token is not an access token and the other way round.
    QVERIFY(!issuer.verify(pair.refresh, QStringLiteral("access"), now).ok);
    QVERIFY(!issuer.verify(pair.access, QStringLiteral("refresh"), now).ok);
}

void TestTokenIssuer::payloadReadsWithStandardAlphabet()
{
    const TokenIssuer issuer("secret", false);
    const QString token = issuer.issue(7, QStringLiteral("access"), now, 60);
    const QByteArray middle = token.split(QLatin1Char('.')).at(1).toLatin1();
    QVERIFY(!middle.contains('-'));
    QVERIFY(!middle.contains('_'));
    const QJsonObject claims = QJsonDocument::fromJson(QByteArray::fromBase64(middle)).object();
    QCOMPARE(claims.value(QLatin1String("user_id")).toInt(), 7);
    QCOMPARE(static_cast<qint64>(claims.value(QLatin1String("exp")).toDouble()), now + 60);
}

void TestTokenIssuer::expiryIsStrict()
{
    const TokenIssuer issuer("secret", false);
    const QString token = issuer.issue(7, QStringLiteral("access"), now, 60);
    QVERIFY(issuer.verify(token, QStringLiteral("access"), now + 59).ok);
    QVERIFY(!issuer.verify(token, QStringLiteral("access"), now + 60).ok); // expires this second
    const QString expired = issuer.issue(7, QStringLiteral("access"), now, -60);
    const TokenIssuer::Check check = issuer.verify(expired, QStringLiteral("access"), now);
    QVERIFY(!check.ok);
    QCOMPARE(check.error, QStringLiteral("token expired"));
}

void TestTokenIssuer::refusesTampering_data()
{
    QTest::addColumn<int>("part");
    QTest::addColumn<QString>("replacement");
    QTest::newRow("header changed") << 0 << QStringLiteral("eyJhbGciOiJub25lIn0");
    QTest::newRow("payload changed")
        << 1
        << QString::fromLatin1(
               QByteArray("{\"exp\":4000000000,\"token_type\":\"access\",\"user_id\":102}").toBase64());
    QTest::newRow("signature empty") << 2 << QString();
    QTest::newRow("signature garbage") << 2 << QStringLiteral("AAAA");
}

void TestTokenIssuer::refusesTampering()
{
    QFETCH(int, part);
    QFETCH(QString, replacement);
    const TokenIssuer issuer("secret", false);
    QStringList parts = issuer.issue(101, QStringLiteral("access"), now, 60).split(QLatin1Char('.'));
    parts[part] = replacement;
    QVERIFY(!issuer.verify(parts.join(QLatin1Char('.')), QStringLiteral("access"), now).ok);
    QVERIFY(!issuer.verify(parts.mid(0, 2).join(QLatin1Char('.')), QStringLiteral("access"), now).ok);
    QVERIFY(!issuer.verify(QString(), QStringLiteral("access"), now).ok);
}

void TestTokenIssuer::otherSecretRefuses()
{
    const QString token = TokenIssuer("one", false).issue(101, QStringLiteral("access"), now, 60);
    QVERIFY(!TokenIssuer("two", false).verify(token, QStringLiteral("access"), now).ok);
}

void TestTokenIssuer::urlSafePayloadStillVerifies()
{
    const TokenIssuer issuer("secret", true);
    const QString token = issuer.issue(9, QStringLiteral("access"), now, 60);
    QVERIFY(!token.contains(QLatin1Char('=')));
    const TokenIssuer::Check check = issuer.verify(token, QStringLiteral("access"), now);
    QVERIFY2(check.ok, qPrintable(check.error));
    QCOMPARE(check.userId, 9);
}

QTEST_GUILESS_MAIN(TestTokenIssuer)
#include "tst_devservice_tokens.moc"
