#include "ControlFrame.h"
#include "MessageNames.h"
#include "SupportCommand.h"

#include <QJsonArray>
#include <QtTest>

Q_DECLARE_METATYPE(QList<QJsonObject>)

namespace {

QJsonObject message(const char* info)
{
    return ControlFrame::envelope(QLatin1String(info));
}

QJsonObject message(const char* info, const QJsonObject& data)
{
    return ControlFrame::envelope(QLatin1String(info), data);
}

} // namespace

class TestSupportCommand : public QObject
{
    Q_OBJECT
private slots:
    void fromWords_data();
    void fromWords();
    void refusedWords_data();
    void refusedWords();
    void silentCommandEndsWithUnprintedBarrier();
    void repliesAwaitedInOrderAndOthersPrinted();
    void everyCommandOfTheChannelIsKnown();
};

void TestSupportCommand::fromWords_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QList<QJsonObject>>("messages");

    const QJsonObject barrier = message(MessageNames::GetCoordGui);
    QTest::newRow("status") << QStringList{"status"}
                            << QList<QJsonObject>{message(MessageNames::AuthData),
                                                  message(MessageNames::GetProfileId),
                                                  message(MessageNames::GetSettings)};
    QTest::newRow("protocol dot") << QStringList{"protocol", "dot"}
                                  << QList<QJsonObject>{
                                         message(MessageNames::ChangeDnsProtocol, {{"dns_protocol", 2}}),
                                         barrier};
    QTest::newRow("protocol DoH") << QStringList{"protocol", "DoH"}
                                  << QList<QJsonObject>{
                                         message(MessageNames::ChangeDnsProtocol, {{"dns_protocol", 1}}),
                                         barrier};
    QTest::newRow("protocol dns") << QStringList{"protocol", "dns"}
                                  << QList<QJsonObject>{
                                         message(MessageNames::ChangeDnsProtocol, {{"dns_protocol", 0}}),
                                         barrier};
    QTest::newRow("filtering off") << QStringList{"filtering", "off"}
                                   << QList<QJsonObject>{
                                          message(MessageNames::StatusFilteringLocal, {{"status", 0}}),
                                          barrier};
    QTest::newRow("filtering on") << QStringList{"filtering", "on"}
                                  << QList<QJsonObject>{
                                         message(MessageNames::StatusFilteringLocal, {{"status", 1}}),
                                         barrier};
    QTest::newRow("login") << QStringList{"login"} << QList<QJsonObject>{message(MessageNames::Login)};
    QTest::newRow("logout") << QStringList{"logout"}
                            << QList<QJsonObject>{message(MessageNames::Logout), barrier};
    QTest::newRow("interface") << QStringList{"interface", "{A-1}", "off"}
                               << QList<QJsonObject>{message(MessageNames::ChangeNetInterface,
                                                             {{"guid", "{A-1}"}, {"status", false}}),
                                                     barrier};
    QTest::newRow("profile") << QStringList{"profile", "3"}
                             << QList<QJsonObject>{message(MessageNames::SetProfileId, {{"profile_id", 3}})};
    QTest::newRow("send without data")
        << QStringList{"send", "GETPROFILES"} << QList<QJsonObject>{message(MessageNames::GetProfiles)};
    QTest::newRow("send with data") << QStringList{"send", "CHECKPIN", "{\"pin_code\":\"1234\"}"}
                                    << QList<QJsonObject>{
                                           message(MessageNames::CheckPin, {{"pin_code", "1234"}})};
    QTest::newRow("send of a silent command")
        << QStringList{"send", "SENDDEBUGINFO"}
        << QList<QJsonObject>{message(MessageNames::SendDebugInfo), barrier};
    QTest::newRow("send of an unknown name")
        << QStringList{"send", "NOSUCH"} << QList<QJsonObject>{message("NOSUCH"), barrier};
    QTest::newRow("listen") << QStringList{"listen", "3"} << QList<QJsonObject>{};
}

void TestSupportCommand::fromWords()
{
    QFETCH(QStringList, words);
    QFETCH(QList<QJsonObject>, messages);
    SupportCommand command;
    QString error;
    QVERIFY2(SupportCommand::fromWords(words, command, error), qPrintable(error));
    QCOMPARE(command.messages, messages);
}

void TestSupportCommand::refusedWords_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("unknown verb") << QStringList{"reboot"};
    QTest::newRow("protocol without value") << QStringList{"protocol"};
    QTest::newRow("unknown protocol") << QStringList{"protocol", "quic"};
    QTest::newRow("protocol out of range") << QStringList{"protocol", "3"};
    QTest::newRow("filtering maybe") << QStringList{"filtering", "maybe"};
    QTest::newRow("status with extra word") << QStringList{"status", "now"};
    QTest::newRow("profile not a number") << QStringList{"profile", "kids"};
    QTest::newRow("profile negative") << QStringList{"profile", "-1"};
    QTest::newRow("send data not an object") << QStringList{"send", "CHECKPIN", "[1]"};
    QTest::newRow("send data not JSON") << QStringList{"send", "CHECKPIN", "{pin"};
    QTest::newRow("listen zero") << QStringList{"listen", "0"};
}

void TestSupportCommand::refusedWords()
{
    QFETCH(QStringList, words);
    SupportCommand command;
    QString error;
    QVERIFY(!SupportCommand::fromWords(words, command, error));
    QVERIFY(!error.isEmpty());
}

void TestSupportCommand::silentCommandEndsWithUnprintedBarrier()
{
    SupportCommand command;
    QString error;
    QVERIFY(SupportCommand::fromWords({"filtering", "off"}, command, error));
    QVERIFY(!command.done());
    bool print = false;
    // An unsolicited status is printed but does not end the command.
    QVERIFY(
        !command.accept(message(MessageNames::StatusFilteringServer, {{"filtering_status", true}}), print));
    QVERIFY(print);
    QVERIFY(command.accept(message(MessageNames::CoordGui, {{"x", "null"}, {"y", "null"}}), print));
    QVERIFY(!print);
}

void TestSupportCommand::repliesAwaitedInOrderAndOthersPrinted()
{
    SupportCommand command;
    QString error;
    QVERIFY(SupportCommand::fromWords({"status"}, command, error));
    bool print = false;
    QVERIFY(!command.accept(message(MessageNames::StatusAuthData, {{"status", false}}), print));
    QVERIFY(print);
    QVERIFY(!command.accept(message(MessageNames::ProfileId, {{"profile_id", 0}}), print));
    QVERIFY(!command.accept(message(MessageNames::DnsProtocol, {{"dns_protocol", 0}}), print));
    QVERIFY(command.accept(message(MessageNames::NetworkInterfaces, {{"interfaces", QJsonArray()}}), print));
    QVERIFY(print);
}

void TestSupportCommand::everyCommandOfTheChannelIsKnown()
{
    // Commands that the agent answers have their replies listed; the silent
    // ones have none and so get the barrier.
    const QStringList answered{"GETVERSION",    "LOGIN",    "GETPROFILES", "GETPROFILEID",   "SETPROFILEID",
                               "GETSYSTEMINFO", "GETDEBUG", "GETSETTINGS", "CHECKAUTH",      "CREATEPIN",
                               "CHECKPIN",      "AUTHDATA", "GETCOORDGUI", "CHANGESTATUSLOG"};
    for (const QString& name : answered)
        QVERIFY2(!SupportCommand::repliesTo(name).isEmpty(), qPrintable(name));
    const QStringList silent{"LOGOUT",      "STATUSFILTERINGLOCAL", "SENDDEBUGINFO",
                             "SETCOORDGUI", "CHANGEDNSPROTOCOL",    "CHANGENETINTERFACE"};
    for (const QString& name : silent)
        QVERIFY2(SupportCommand::repliesTo(name).isEmpty(), qPrintable(name));
    QCOMPARE(SupportCommand::repliesTo("GETSETTINGS"), (QStringList{"DNSPROTOCOL", "NETWORKINTERFACES"}));
}

QTEST_GUILESS_MAIN(TestSupportCommand)
#include "TestSupportCommand.moc"
