#include "tests/control/ControlTestClient.h"

#include "common/MessageNames.h"
#include "control/TcpServer.h"
#include "settings/ConstData.h"

#include <QProcess>
#include <QtTest>

// The control server on its real port, inside a private network namespace.
class TestControlPort : public QObject
{
    Q_OBJECT
private slots:
    void answersOnLoopbackOnly();
};

void TestControlPort::answersOnLoopbackOnly()
{
    if (qEnvironmentVariableIsEmpty("CORVANE_IN_NETNS"))
        QSKIP("needs the private network namespace (NETNS)");
    // An address of this machine that is not a loopback address.
    const QString outside = QStringLiteral("192.0.2.10");
    QCOMPARE(QProcess::execute(QStringLiteral("ip"), {"addr", "add", outside + "/32", "dev", "lo"}), 0);

    TcpServer server(ConstData::getPortTcpOfAgent());
    QVERIFY(server.isListening());
    QCOMPARE(server.serverPort(), quint16(49101));

    for (const QHostAddress& address :
         {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)}) {
        ControlTestClient client;
        QVERIFY2(client.connectTo(49101, address), qPrintable(address.toString()));
        client.send(QLatin1String(MessageNames::HelloSupport));
        QTRY_COMPARE(client.infos(), QStringList{QLatin1String(MessageNames::HelloAgent)});
    }

    ControlTestClient stranger;
    QVERIFY(!stranger.connectTo(49101, QHostAddress(outside)));
    QCOMPARE(stranger.socket.error(), QAbstractSocket::ConnectionRefusedError);
}

QTEST_GUILESS_MAIN(TestControlPort)
#include "tst_controlport.moc"
