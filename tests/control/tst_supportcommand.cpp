#include "common/ControlFrame.h"
#include "common/MessageNames.h"
#include "tools/corvanectl/SupportCommand.h"

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
    void arguments_data();
    void arguments();
    void secretFromFile_data();
    void secretFromFile();
    void stepsEndByStatus_data();
    void stepsEndByStatus();
    void silentCommandEndsWithUnprintedBarrier();
    void repliesAwaitedInOrderAndOthersPrinted();
    void everyCommandOfTheChannelIsKnown();
    void statusSummary_data();
    void statusSummary();
};

void TestSupportCommand::fromWords_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("pin");
    QTest::addColumn<QList<QJsonObject>>("messages");
    // Whether a PIN, password or key goes out: then only to a listener that is the agent.
    QTest::addColumn<bool>("secret");

    const QJsonObject barrier = message(MessageNames::GetCoordGui);
    const QJsonObject checkPin = message(MessageNames::CheckPin, {{"pin_code", "4321"}});
    const QJsonObject createPin = message(MessageNames::CreatePin, {{"pin_code", "4321"}});
    const QJsonObject authData = message(MessageNames::AuthData);
    const QJsonObject login = message(MessageNames::Login);
    QTest::newRow("signin creates the PIN on the same connection")
        << QStringList{"signin", "demo"} << QString("4321")
        << QList<QJsonObject>{authData,
                              message(MessageNames::CheckAuth, {{"login", "demo"}, {"password", "secret"}}),
                              createPin, checkPin, login}
        << true;
    QTest::newRow("signin with an access key")
        << QStringList{"signin"} << QString("4321")
        << QList<QJsonObject>{authData, message(MessageNames::CheckAuth, {{"token", "key-1"}}), createPin,
                              checkPin, login}
        << true;
    QTest::newRow("signin takes a PIN of 20 characters")
        << QStringList{"SignIn", "demo"} << QString(20, QLatin1Char('9'))
        << QList<QJsonObject>{authData,
                              message(MessageNames::CheckAuth, {{"login", "demo"}, {"password", "secret"}}),
                              message(MessageNames::CreatePin, {{"pin_code", QString(20, QLatin1Char('9'))}}),
                              message(MessageNames::CheckPin, {{"pin_code", QString(20, QLatin1Char('9'))}}),
                              login}
        << true;
    QTest::newRow("pin check") << QStringList{"pin", "check"} << QString("4321")
                               << QList<QJsonObject>{checkPin, login} << true;
    QTest::newRow("filtering off with the PIN")
        << QStringList{"filtering", "off"} << QString("4321")
        << QList<QJsonObject>{checkPin, message(MessageNames::StatusFilteringLocal, {{"status", 0}}), barrier}
        << true;
    QTest::newRow("logout with the PIN")
        << QStringList{"logout"} << QString("4321")
        << QList<QJsonObject>{checkPin, message(MessageNames::Logout), barrier} << true;
    // The summary checks the PIN only once the agent says it holds sign-in
    // data (stepsEndByStatus); "--json" never sends it.
    QTest::newRow("status summary with the PIN")
        << QStringList{"status"} << QString("4321")
        << QList<QJsonObject>{authData, message(MessageNames::GetProfileId),
                              message(MessageNames::GetSettings)}
        << true;
    // The agent guards the interface switch and the reports as it guards the
    // filtering switch.
    QTest::newRow("interface switch with the PIN")
        << QStringList{"interface", "{A-1}", "on"} << QString("4321")
        << QList<QJsonObject>{checkPin,
                              message(MessageNames::ChangeNetInterface,
                                      {{"guid", "{A-1}"}, {"status", true}}),
                              barrier}
        << true;
    QTest::newRow("system report with the PIN")
        << QStringList{"sysinfo"} << QString("4321")
        << QList<QJsonObject>{checkPin, message(MessageNames::GetSystemInfo)} << true;
    QTest::newRow("status") << QStringList{"status"} << QString()
                            << QList<QJsonObject>{authData, message(MessageNames::GetProfileId),
                                                  message(MessageNames::GetSettings)}
                            << false;
    QTest::newRow("protocol dot") << QStringList{"protocol", "dot"} << QString()
                                  << QList<QJsonObject>{message(MessageNames::ChangeDnsProtocol,
                                                                {{"dns_protocol", 2}}),
                                                        barrier}
                                  << false;
    QTest::newRow("protocol DoH") << QStringList{"protocol", "DoH"} << QString()
                                  << QList<QJsonObject>{message(MessageNames::ChangeDnsProtocol,
                                                                {{"dns_protocol", 1}}),
                                                        barrier}
                                  << false;
    QTest::newRow("protocol dns") << QStringList{"protocol", "dns"} << QString()
                                  << QList<QJsonObject>{message(MessageNames::ChangeDnsProtocol,
                                                                {{"dns_protocol", 0}}),
                                                        barrier}
                                  << false;
    QTest::newRow("filtering off")
        << QStringList{"filtering", "off"} << QString()
        << QList<QJsonObject>{message(MessageNames::StatusFilteringLocal, {{"status", 0}}), barrier} << false;
    QTest::newRow("filtering on")
        << QStringList{"filtering", "on"} << QString()
        << QList<QJsonObject>{message(MessageNames::StatusFilteringLocal, {{"status", 1}}), barrier} << false;
    QTest::newRow("login") << QStringList{"login"} << QString() << QList<QJsonObject>{login} << false;
    QTest::newRow("logout") << QStringList{"logout"} << QString()
                            << QList<QJsonObject>{message(MessageNames::Logout), barrier} << false;
    QTest::newRow("interface") << QStringList{"interface", "{A-1}", "off"} << QString()
                               << QList<QJsonObject>{message(MessageNames::ChangeNetInterface,
                                                             {{"guid", "{A-1}"}, {"status", false}}),
                                                     barrier}
                               << false;
    QTest::newRow("profile") << QStringList{"profile", "3"} << QString()
                             << QList<QJsonObject>{message(MessageNames::SetProfileId, {{"profile_id", 3}})}
                             << false;
    QTest::newRow("send without data") << QStringList{"send", "GETPROFILES"} << QString()
                                       << QList<QJsonObject>{message(MessageNames::GetProfiles)} << false;
    QTest::newRow("send with a PIN") << QStringList{"send", "CHECKPIN", "{\"pin_code\":\"1234\"}"}
                                     << QString()
                                     << QList<QJsonObject>{message(MessageNames::CheckPin,
                                                                   {{"pin_code", "1234"}})}
                                     << true;
    QTest::newRow("send with a password")
        << QStringList{"send", "CHECKAUTH", "{\"login\":\"a\",\"password\":\"b\"}"} << QString()
        << QList<QJsonObject>{message(MessageNames::CheckAuth, {{"login", "a"}, {"password", "b"}})} << true;
    QTest::newRow("send with other data")
        << QStringList{"send", "SETCOORDGUI", "{\"x\":\"1\",\"y\":\"2\"}"} << QString()
        << QList<QJsonObject>{message(MessageNames::SetCoordGui, {{"x", "1"}, {"y", "2"}}), barrier} << false;
    QTest::newRow("send of a silent command")
        << QStringList{"send", "SENDDEBUGINFO"} << QString()
        << QList<QJsonObject>{message(MessageNames::SendDebugInfo), barrier} << false;
    QTest::newRow("send of an unknown name") << QStringList{"send", "NOSUCH"} << QString()
                                             << QList<QJsonObject>{message("NOSUCH"), barrier} << false;
    QTest::newRow("listen") << QStringList{"listen", "3"} << QString() << QList<QJsonObject>{} << false;
}

void TestSupportCommand::fromWords()
{
    QFETCH(QStringList, words);
    QFETCH(QString, pin);
    QFETCH(QList<QJsonObject>, messages);
    QFETCH(bool, secret);
    SupportCommand command;
    QString error;
    SupportCommand::Secrets secrets;
    secrets.password = QStringLiteral("secret");
    secrets.accessKey = QStringLiteral("key-1");
    secrets.pin = pin;
    QVERIFY2(SupportCommand::fromWords(words, command, error, secrets), qPrintable(error));
    QCOMPARE(command.messages(), messages);
    QCOMPARE(command.carriesSecret(), secret);
}

void TestSupportCommand::refusedWords_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("pin");
    QTest::newRow("nothing") << QStringList{} << QString();
    QTest::newRow("unknown verb") << QStringList{"reboot"} << QString();
    QTest::newRow("protocol without value") << QStringList{"protocol"} << QString();
    QTest::newRow("unknown protocol") << QStringList{"protocol", "quic"} << QString();
    QTest::newRow("protocol out of range") << QStringList{"protocol", "3"} << QString();
    QTest::newRow("filtering maybe") << QStringList{"filtering", "maybe"} << QString();
    QTest::newRow("status with extra word") << QStringList{"status", "now"} << QString();
    QTest::newRow("profile not a number") << QStringList{"profile", "kids"} << QString();
    QTest::newRow("profile negative") << QStringList{"profile", "-1"} << QString();
    QTest::newRow("send data not an object") << QStringList{"send", "CHECKPIN", "[1]"} << QString();
    QTest::newRow("send data not JSON") << QStringList{"send", "CHECKPIN", "{pin"} << QString();
    QTest::newRow("listen zero") << QStringList{"listen", "0"} << QString();
    QTest::newRow("signin without login or key") << QStringList{"signin"} << QString();
    QTest::newRow("signin with two logins") << QStringList{"signin", "a", "b"} << QString();
    QTest::newRow("pin without action") << QStringList{"pin"} << QString();
    QTest::newRow("pin with unknown action") << QStringList{"pin", "remove"} << QString();
    QTest::newRow("a PIN is created only with the sign-in")
        << QStringList{"pin", "create"} << QString("4321");
    QTest::newRow("signin without a PIN") << QStringList{"signin", "demo"} << QString();
    QTest::newRow("signin with a PIN of 3 characters") << QStringList{"signin", "demo"} << QString("123");
    QTest::newRow("signin with a PIN of 21 characters")
        << QStringList{"signin", "demo"} << QString(21, QLatin1Char('1'));
    QTest::newRow("access-key signin without a PIN") << QStringList{"signin"} << QString();
}

void TestSupportCommand::refusedWords()
{
    QFETCH(QStringList, words);
    QFETCH(QString, pin);
    SupportCommand command;
    QString error;
    SupportCommand::Secrets secrets;
    secrets.password = QStringLiteral("secret");
    secrets.accessKey = QStringLiteral("key-1");
    secrets.pin = pin;
    QVERIFY(!SupportCommand::fromWords(words, command, error, secrets));
    QVERIFY(!error.isEmpty());
}

void TestSupportCommand::arguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<bool>("pinPrompt");
    QTest::addColumn<bool>("passwordPrompt");

    QTest::newRow("plain") << QStringList{"status"} << true << QStringList{"status"} << false << false;
    QTest::newRow("options anywhere") << QStringList{"filtering", "--pin", "4321", "off", "--timeout", "500"}
                                      << true << QStringList{"filtering", "off"} << false << false;
    QTest::newRow("signin prompts for the password and the new PIN")
        << QStringList{"signin", "demo"} << true << QStringList{"signin", "demo"} << true << true;
    QTest::newRow("signin with a password file prompts for the PIN")
        << QStringList{"signin", "demo", "--password-file", "/f"} << true << QStringList{"signin", "demo"}
        << true << false;
    QTest::newRow("signin with password and PIN files")
        << QStringList{"--pin-file", "/p", "signin", "demo", "--password-file", "/f"} << true
        << QStringList{"signin", "demo"} << false << false;
    QTest::newRow("signin with the PIN on the command line")
        << QStringList{"--pin", "4321", "signin", "demo", "--password-file", "/f"} << true
        << QStringList{"signin", "demo"} << false << false;
    QTest::newRow("access key prompts for the PIN")
        << QStringList{"signin", "--access-key-file", "/k"} << true << QStringList{"signin"} << true << false;
    QTest::newRow("access key and PIN files")
        << QStringList{"signin", "--access-key-file", "/k", "--pin-file", "/p"} << true
        << QStringList{"signin"} << false << false;
    QTest::newRow("pin check prompts")
        << QStringList{"pin", "check"} << true << QStringList{"pin", "check"} << true << false;
    QTest::newRow("pin create asks for nothing (it is refused)")
        << QStringList{"pin", "create"} << true << QStringList{"pin", "create"} << false << false;
    QTest::newRow("pin from a file") << QStringList{"--pin-file", "/p", "pin", "check"} << true
                                     << QStringList{"pin", "check"} << false << false;
    QTest::newRow("a word that looks like an option is refused")
        << QStringList{"profile", "-1"} << false << QStringList{} << false << false;
    QTest::newRow("unknown option") << QStringList{"--pinn", "1", "status"} << false << QStringList{} << false
                                    << false;
    QTest::newRow("pin twice") << QStringList{"--pin", "1", "--pin-file", "/p", "status"} << false
                               << QStringList{} << false << false;
    QTest::newRow("password file without signin")
        << QStringList{"--password-file", "/f", "status"} << false << QStringList{} << false << false;
    QTest::newRow("password and key")
        << QStringList{"signin", "x", "--password-file", "/f", "--access-key-file", "/k"} << false
        << QStringList{} << false << false;
    QTest::newRow("port zero") << QStringList{"--port", "0", "status"} << false << QStringList{} << false
                               << false;
    QTest::newRow("timeout negative")
        << QStringList{"--timeout=-5", "status"} << false << QStringList{} << false << false;
}

void TestSupportCommand::arguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, valid);
    QFETCH(QStringList, words);
    QFETCH(bool, pinPrompt);
    QFETCH(bool, passwordPrompt);
    SupportInvocation invocation;
    QString error;
    QCOMPARE(SupportCommand::parseArguments(arguments, invocation, error), valid);
    if (!valid) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(invocation.words, words);
    QCOMPARE(SupportCommand::needsPinPrompt(invocation), pinPrompt);
    QCOMPARE(SupportCommand::needsPasswordPrompt(invocation), passwordPrompt);
}

void TestSupportCommand::secretFromFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("secret");
    QTest::newRow("line") << QByteArray("demo-password\n") << QString("demo-password");
    QTest::newRow("no line end") << QByteArray("4321") << QString("4321");
    QTest::newRow("windows line end") << QByteArray("4321\r\n") << QString("4321");
    QTest::newRow("spaces are the secret's") << QByteArray(" pass word \n") << QString(" pass word ");
    QTest::newRow("only the first line") << QByteArray("key\nsecond\n") << QString("key");
    QTest::newRow("empty") << QByteArray() << QString();
}

void TestSupportCommand::secretFromFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, secret);
    QCOMPARE(SupportCommand::secretFromFile(contents), secret);
}

void TestSupportCommand::stepsEndByStatus_data()
{
    QTest::addColumn<QStringList>("words");
    // The replies the agent gives, one per step awaiting one.
    QTest::addColumn<QList<QJsonObject>>("replies");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("sent");

    const QJsonObject login = message(MessageNames::StatusFilteringLocal, {{"status", 1}});
    const auto status = [](const char* info, int value) { return message(info, {{"status", value}}); };
    const QJsonObject signedOut = message(MessageNames::StatusAuthData, {{"status", false}});
    const QJsonObject signedIn = message(MessageNames::StatusAuthData, {{"status", true}});
    QTest::newRow("signed in, PIN created and checked, protection on")
        << QStringList{"signin", "demo"}
        << QList<QJsonObject>{signedOut, status(MessageNames::StatusCheckAuth, 1),
                              status(MessageNames::StatusCreatePin, 1),
                              status(MessageNames::StatusCheckPin, 1), login}
        << 0 << 5;
    QTest::newRow("access key signed in")
        << QStringList{"signin"}
        << QList<QJsonObject>{signedOut, status(MessageNames::StatusCheckAuth, 1),
                              status(MessageNames::StatusCreatePin, 1),
                              status(MessageNames::StatusCheckPin, 1), login}
        << 0 << 5;
    QTest::newRow("wrong password: no PIN sent")
        << QStringList{"signin", "demo"}
        << QList<QJsonObject>{signedOut, status(MessageNames::StatusCheckAuth, 0)} << 1 << 2;
    QTest::newRow("service unreachable")
        << QStringList{"signin", "demo"}
        << QList<QJsonObject>{signedOut, status(MessageNames::StatusCheckAuth, 2)} << 1 << 2;
    QTest::newRow("agent holding sign-in data: the PIN is checked before the new sign-in")
        << QStringList{"signin", "demo"}
        << QList<QJsonObject>{signedIn,
                              status(MessageNames::StatusCheckPin, 1),
                              status(MessageNames::StatusCheckAuth, 1),
                              status(MessageNames::StatusCreatePin, 1),
                              status(MessageNames::StatusCheckPin, 1),
                              login}
        << 0 << 6;
    QTest::newRow("agent holding sign-in data, wrong PIN: no sign-in")
        << QStringList{"signin", "demo"}
        << QList<QJsonObject>{signedIn, status(MessageNames::StatusCheckPin, 0)} << 1 << 2;
    QTest::newRow("PIN refused (not the sign-in's connection): nothing after it")
        << QStringList{"signin", "demo"}
        << QList<QJsonObject>{signedOut, status(MessageNames::StatusCheckAuth, 1),
                              status(MessageNames::StatusCreatePin, 2)}
        << 1 << 3;
    QTest::newRow("no answer in time")
        << QStringList{"signin", "demo"}
        << QList<QJsonObject>{signedOut, status(MessageNames::StatusCheckAuth, 1),
                              status(MessageNames::StatusCreatePin, 1)}
        << 2 << 4;
    QTest::newRow("pin check at the launch limit: no login")
        << QStringList{"pin", "check"} << QList<QJsonObject>{status(MessageNames::StatusCheckPin, 3)} << 1
        << 1;
    QTest::newRow("status without a number is refused")
        << QStringList{"pin", "check"}
        << QList<QJsonObject>{message(MessageNames::StatusCheckPin, {{"status", "1"}})} << 1 << 1;
    QTest::newRow("wrong unlock PIN: filtering stays")
        << QStringList{"filtering", "off"} << QList<QJsonObject>{status(MessageNames::StatusCheckPin, 0)} << 1
        << 1;
    const QJsonObject profileId = message(MessageNames::ProfileId, {{"profile_id", 2}});
    const QJsonObject protocol = message(MessageNames::DnsProtocol, {{"dns_protocol", 2}});
    const QJsonObject interfaces = message(MessageNames::NetworkInterfaces, {{"interfaces", QJsonArray()}});
    QTest::newRow("status summary, signed in: PIN, profiles, sign-in report")
        << QStringList{"status"}
        << QList<QJsonObject>{signedIn,
                              status(MessageNames::StatusCheckPin, 1),
                              message(MessageNames::Profiles, {{"profiles", QJsonArray()}}),
                              login,
                              profileId,
                              protocol,
                              interfaces}
        << 0 << 6;
    QTest::newRow("status summary, wrong PIN: the rest without the account")
        << QStringList{"status"}
        << QList<QJsonObject>{signedIn, status(MessageNames::StatusCheckPin, 0), profileId, protocol,
                              interfaces}
        << 0 << 4;
    QTest::newRow("status summary, nothing stored: no PIN sent")
        << QStringList{"status"} << QList<QJsonObject>{signedOut, profileId, protocol, interfaces} << 0 << 3;
    QTest::newRow("unlock PIN right, service away")
        << QStringList{"filtering", "off"}
        << QList<QJsonObject>{status(MessageNames::StatusCheckPin, 4),
                              message(MessageNames::CoordGui, {{"x", "null"}, {"y", "null"}})}
        << 0 << 3;
}

void TestSupportCommand::stepsEndByStatus()
{
    QFETCH(QStringList, words);
    QFETCH(QList<QJsonObject>, replies);
    QFETCH(int, exitCode);
    QFETCH(int, sent);
    SupportCommand::Secrets secrets;
    secrets.pin = QStringLiteral("4321");
    secrets.password = QStringLiteral("secret");
    secrets.accessKey = QStringLiteral("key-1");
    SupportCommand command;
    QString error;
    QVERIFY2(SupportCommand::fromWords(words, command, error, secrets), qPrintable(error));
    int sentCount = static_cast<int>(command.nextMessages().size());
    SupportCommand::Progress progress = SupportCommand::Progress::Waiting;
    for (const QJsonObject& reply : replies) {
        bool print = false;
        progress = command.accept(reply, print);
        if (progress == SupportCommand::Progress::Next)
            sentCount += static_cast<int>(command.nextMessages().size());
    }
    QCOMPARE(SupportCommand::exitCode(progress), exitCode);
    QCOMPARE(sentCount, sent);
    if (exitCode == SupportCommand::Refused) {
        QVERIFY(!command.refusal().isEmpty());
        QVERIFY(!command.refusal().contains(QLatin1String("4321")));
    }
}

void TestSupportCommand::silentCommandEndsWithUnprintedBarrier()
{
    SupportCommand command;
    QString error;
    QVERIFY(SupportCommand::fromWords({"filtering", "off"}, command, error));
    QCOMPARE(command.nextMessages().size(), 2);
    QVERIFY(!command.done());
    bool print = false;
    // An unsolicited status is printed but does not end the command.
    QCOMPARE(
        command.accept(message(MessageNames::StatusFilteringServer, {{"filtering_status", true}}), print),
        SupportCommand::Progress::Waiting);
    QVERIFY(print);
    // The resolver's state is printed only by the commands that show it.
    QCOMPARE(command.accept(message(MessageNames::StatusResolver, {{"state", "open"}}), print),
             SupportCommand::Progress::Waiting);
    QVERIFY(!print);
    QCOMPARE(command.accept(message(MessageNames::CoordGui, {{"x", "null"}, {"y", "null"}}), print),
             SupportCommand::Progress::Finished);
    QVERIFY(!print);
}

void TestSupportCommand::repliesAwaitedInOrderAndOthersPrinted()
{
    // "status --json": the replies of before, and the resolver's state.
    SupportCommand command;
    QString error;
    SupportCommand::Secrets secrets;
    secrets.pin = QStringLiteral("4321");
    QVERIFY(SupportCommand::fromWords({"status"}, command, error, secrets, true));
    QVERIFY(!command.summary);
    QVERIFY(!command.carriesSecret());
    QCOMPARE(command.nextMessages().size(), 1);
    bool print = false;
    QCOMPARE(command.accept(message(MessageNames::StatusResolver, {{"state", "open"}}), print),
             SupportCommand::Progress::Waiting);
    QVERIFY(print);
    // Sign-in data stored: still no PIN check.
    QCOMPARE(command.accept(message(MessageNames::StatusAuthData, {{"status", true}}), print),
             SupportCommand::Progress::Next);
    QVERIFY(print);
    QCOMPARE(command.nextMessages().size(), 1);
    QCOMPARE(command.accept(message(MessageNames::ProfileId, {{"profile_id", 0}}), print),
             SupportCommand::Progress::Next);
    QCOMPARE(command.nextMessages().size(), 1);
    QCOMPARE(command.accept(message(MessageNames::DnsProtocol, {{"dns_protocol", 0}}), print),
             SupportCommand::Progress::Waiting);
    QCOMPARE(command.accept(message(MessageNames::NetworkInterfaces, {{"interfaces", QJsonArray()}}), print),
             SupportCommand::Progress::Finished);
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

void TestSupportCommand::statusSummary_data()
{
    QTest::addColumn<QList<QJsonObject>>("messages");
    QTest::addColumn<bool>("pinGiven");
    QTest::addColumn<int>("utcOffset");
    QTest::addColumn<QString>("summary");

    const qint64 now = 1765262400000; // 2025-12-09 06:40:00 UTC
    const QJsonObject interfaces = message(
        MessageNames::NetworkInterfaces,
        {{"interfaces", QJsonArray{QJsonObject{{"guid", "{A-1}"}, {"name", "eth0"}, {"status", true}},
                                   QJsonObject{{"guid", "{B-2}"}, {"name", "wlan0"}, {"status", true}},
                                   QJsonObject{{"guid", "{C-3}"}, {"name", ""}, {"status", false}}}}});
    const auto resolver = [now](const char* state, qint64 agoMs, const QString& detail = QString()) {
        return message(MessageNames::StatusResolver, {{"state", state},
                                                      {"chosen", "DoT"},
                                                      {"in_use", "DNS"},
                                                      {"since", double(now - agoMs)},
                                                      {"detail", detail}});
    };
    const QJsonObject signedIn = message(MessageNames::StatusAuthData, {{"status", true}});
    const QJsonObject profileId = message(MessageNames::ProfileId, {{"profile_id", 2}});
    const QJsonObject dot = message(MessageNames::DnsProtocol, {{"dns_protocol", 2}});
    const QString interfacesLine = QStringLiteral("Protected:  eth0, wlan0; not protected: {C-3}\n");

    QTest::newRow("older agent, signed out")
        << QList<QJsonObject>{message(MessageNames::StatusAuthData, {{"status", false}}),
                              message(MessageNames::ProfileId, {{"profile_id", 0}}),
                              message(MessageNames::DnsProtocol, {{"dns_protocol", 0}}), interfaces}
        << false << 0
        << QStringLiteral("Signed in:  no\n"
                          "Protection: off (not signed in)\n"
                          "Account:    none\n"
                          "Profile:    none\n"
                          "Transport:  DNS chosen\n"
                          "Resolver:   (not reported by this agent)\n") +
               interfacesLine;
    QTest::newRow("signed in, no PIN, fail-open for 5 min")
        << QList<QJsonObject>{resolver("open", 5 * 60000 + 30000, "no answer on DoT, DNS"), signedIn,
                              profileId, dot, interfaces}
        << false << 0
        << QStringLiteral(
               "Signed in:  yes\n"
               "Protection: (PIN needed)\n"
               "Account:    (PIN needed)\n"
               "Profile:    (PIN needed) (id 2)\n"
               "Transport:  DoT chosen, DNS in use\n"
               "Resolver:   NOT FILTERED: the filtering service cannot be reached, the network's own "
               "servers answer (no answer on DoT, DNS), since 2025-12-09 06:34:30 (for 5 min)\n") +
               interfacesLine;
    QTest::newRow("signed in with the PIN, filtered, local time UTC+1")
        << QList<QJsonObject>{message(MessageNames::StatusResolver, {{"state", "filtered"},
                                                                     {"chosen", "DoT"},
                                                                     {"in_use", "DoT"},
                                                                     {"since", double(now - 11520000)}}),
                              signedIn,
                              message(MessageNames::StatusCheckPin, {{"status", 1}}),
                              message(MessageNames::Profiles,
                                      {{"profiles", QJsonArray{QJsonObject{{"id", "1"}, {"name", "Work"}},
                                                               QJsonObject{{"id", "2"}, {"name", "Kids"}}}}}),
                              message(MessageNames::UserInfo, {{"username", "demo@corvane.test"}}),
                              message(MessageNames::StatusFilteringLocal, {{"status", 1}}),
                              profileId,
                              dot,
                              interfaces}
        << true << 3600
        << QStringLiteral("Signed in:  yes\n"
                          "Protection: on\n"
                          "Account:    demo@corvane.test\n"
                          "Profile:    Kids (id 2)\n"
                          "Transport:  DoT chosen, DoT in use\n"
                          "Resolver:   filtered, since 2025-12-09 04:28:00 (for 3 h 12 min)\n") +
               interfacesLine;
    QTest::newRow("wrong PIN, port taken")
        << QList<QJsonObject>{resolver("port", 42000, "127.0.0.1:53 held by dnsmasq"),
                              signedIn,
                              message(MessageNames::StatusCheckPin, {{"status", 0}}),
                              profileId,
                              dot,
                              interfaces}
        << true << 0
        << QStringLiteral(
               "Signed in:  yes\n"
               "Protection: (PIN refused)\n"
               "Account:    (PIN refused)\n"
               "Profile:    (PIN refused) (id 2)\n"
               "Transport:  DoT chosen, DNS in use\n"
               "Resolver:   NOT FILTERED: another program holds the DNS port, interfaces left alone "
               "(127.0.0.1:53 held by dnsmasq), since 2025-12-09 06:39:18 (for 42 s)\n") +
               interfacesLine;
    // What a foreign peer sends never reaches the terminal as control codes;
    // an unknown state reads as not reported.
    QTest::newRow("hostile texts, unknown state")
        << QList<QJsonObject>{message(MessageNames::StatusResolver, {{"state", "fine"}}),
                              message(MessageNames::StatusAuthData, {{"status", "yes"}}),
                              message(MessageNames::UserInfo, {{"username", "a\x1b[2Jb\nc"}}),
                              message(MessageNames::NetworkInterfaces,
                                      {{"interfaces",
                                        QJsonArray{QJsonObject{{"name", "e\rth"}, {"status", true}}}}})}
        << false << 0
        << QStringLiteral("Signed in:  (not reported)\n"
                          "Protection: (PIN needed)\n"
                          "Account:    a?[2Jb?c\n"
                          "Profile:    (PIN needed)\n"
                          "Transport:  (not reported)\n"
                          "Resolver:   (not reported by this agent)\n"
                          "Protected:  e?th\n");
}

void TestSupportCommand::statusSummary()
{
    QFETCH(QList<QJsonObject>, messages);
    QFETCH(bool, pinGiven);
    QFETCH(int, utcOffset);
    QFETCH(QString, summary);
    QCOMPARE(SupportCommand::statusSummary(messages, 1765262400000, utcOffset, pinGiven), summary);
}

QTEST_GUILESS_MAIN(TestSupportCommand)
#include "tst_supportcommand.moc"
