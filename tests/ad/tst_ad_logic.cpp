#include "backend/AdGroupPlan.h"
#include "backend/RestAD.h"
#include "platform/DirectoryCommands.h"
#include "platform/ProgramRunner.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"
#include "tests/fakes/FakeMachineInfo.h"
#include "tests/fakes/FakeProgramRunner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextCodec>
#include <QtTest>

namespace {

QJsonObject group(int id, const QString& name, int domain, const QJsonArray& users)
{
    return QJsonObject{
        {"id", id}, {"name", name}, {"domain", domain}, {"parent", QJsonValue()}, {"ad_users", users}};
}

QString changesText(const AdGroupPlan& plan)
{
    QStringList parts;
    for (const AdGroupPlan::Change& change : plan.changes)
        parts.append(QStringLiteral("%1:%2:%3")
                         .arg(change.groupId)
                         .arg(change.name)
                         .arg(QString::fromUtf8(QJsonDocument(change.users).toJson(QJsonDocument::Compact))));
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestAdLogic : public QObject
{
    Q_OBJECT

private slots:
    void memberOf_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("groups");
        QTest::newRow("one line") << "CN=Staff,OU=Groups,DC=example,DC=org\r\n" << QStringList{"Staff"};
        QTest::newRow("two lines")
            << "CN=Staff,OU=Groups,DC=example,DC=org\r\nCN=Admins,CN=Users,DC=example,DC=org\r\n"
            << QStringList{"Staff", "Admins"};
        QTest::newRow("no final line break") << "CN=Staff,OU=G,DC=x" << QStringList{"Staff"};
        QTest::newRow("bare line feeds") << "CN=A,DC=x\nCN=B,DC=x\n" << QStringList{"A", "B"};
        QTest::newRow("blank lines and blanks") << "\r\n\r\n  CN=Staff,DC=x  \r\n\r\n"
                                                << QStringList{"Staff"};
        QTest::newRow("escaped comma") << "CN=Smith\\, John,OU=People,DC=x\r\n" << QStringList{"Smith, John"};
        QTest::newRow("blanks inside the name") << "CN=Domain Users,CN=Users,DC=x\r\n"
                                                << QStringList{"Domain Users"};
        QTest::newRow("no comma") << "CN=Solo\r\n" << QStringList{"Solo"};
        QTest::newRow("lower-case attribute") << "cn=lower,DC=x\r\n" << QStringList{"lower"};
        QTest::newRow("error text skipped")
            << "Get-ADUser : Unable to contact the server.\r\n+ CategoryInfo : x\r\n"
            << QStringList{};
        QTest::newRow("not a CN line") << "OU=Groups,DC=example,DC=org\r\n" << QStringList{};
        QTest::newRow("empty name") << "CN=,OU=x\r\nCN=Real,DC=x\r\n" << QStringList{"Real"};
        QTest::newRow("duplicates once") << "CN=A,DC=x\r\nCN=A,DC=y\r\n" << QStringList{"A"};
        QTest::newRow("empty output") << "" << QStringList{};
        QTest::newRow("only line breaks") << "\r\n\r\n\n" << QStringList{};
        QTest::newRow("trailing backslash") << "CN=Odd\\" << QStringList{"Odd"};
    }
    void memberOf()
    {
        QFETCH(QString, output);
        QTEST(DirectoryCommands::parseMemberOf(output), "groups");
    }

    void memberOfFromOemCodePage()
    {
        QTextCodec* codec = QTextCodec::codecForName("IBM 866");
        QVERIFY(codec != nullptr);
        const QString name = QString::fromUtf8("Бухгалтерия");
        const QByteArray bytes =
            codec->fromUnicode(QStringLiteral("CN=") + name + QStringLiteral(",OU=G,DC=x\r\n"));
        QCOMPARE(DirectoryCommands::parseMemberOf(ProgramRunner::decode(bytes, "IBM 866")),
                 QStringList{name});
    }

    void idGroups_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("groups");
        QTest::newRow("plain") << "anna staff developers\n" << QStringList{"anna", "staff", "developers"};
        QTest::newRow("qualified") << "anna@corp.example.org staff@corp.example.org\n"
                                   << QStringList{"anna", "staff"};
        QTest::newRow("empty") << "" << QStringList{};
        QTest::newRow("duplicates") << "a a b" << QStringList{"a", "b"};
    }
    void idGroups()
    {
        QFETCH(QString, output);
        QTEST(DirectoryCommands::parseIdGroups(output), "groups");
    }

    void userNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain") << "anna" << true;
        QTest::newRow("dot dash underscore") << "anna.smith-2_x" << true;
        QTest::newRow("letters of other scripts") << QString::fromUtf8("Jürgen.Ковалёв") << true;
        QTest::newRow("blank inside") << "anna smith" << true;
        QTest::newRow("at sign") << "anna@corp" << true;
        QTest::newRow("single quote") << "o'brien" << false;
        QTest::newRow("double quote") << "a\"b" << false;
        QTest::newRow("dollar") << "a$(calc)" << false;
        QTest::newRow("backtick") << "a`b" << false;
        QTest::newRow("wildcard") << "a*" << false;
        QTest::newRow("semicolon") << "a;b" << false;
        QTest::newRow("pipe") << "a|b" << false;
        QTest::newRow("braces") << "a}b" << false;
        QTest::newRow("line break") << "a\nb" << false;
        QTest::newRow("backslash") << "CORP\\anna" << false;
        QTest::newRow("leading blank") << " anna" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("too long") << QString(257, QLatin1Char('a')) << false;
        QTest::newRow("longest") << QString(256, QLatin1Char('a')) << true;
    }
    void userNames()
    {
        QFETCH(QString, name);
        QTEST(DirectoryCommands::isSafeUserName(name), "safe");
    }

    void domainNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("safe");
        QTest::newRow("dns name") << "corp.example.org" << true;
        QTest::newRow("dash") << "my-corp.local" << true;
        QTest::newRow("quote") << "corp'.org" << false;
        QTest::newRow("blank") << "corp example" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("dollar") << "$corp" << false;
    }
    void domainNames()
    {
        QFETCH(QString, name);
        QTEST(DirectoryCommands::isSafeDomainName(name), "safe");
    }

    void windowsCommandLines()
    {
        QCOMPARE(DirectoryCommands::windowsGroupQuery("anna", "corp.example.org"),
                 QStringLiteral("Get-ADUser -Properties * -Filter 'SamAccountName -like \"anna\"' -Server "
                                "'corp.example.org' | foreach {$_.'MemberOf'}"));
        QCOMPARE(DirectoryCommands::windowsToolCheck(),
                 QStringLiteral(
                     "Get-WindowsCapability  -Online -Name Rsat.ActiveDirectory.DS-LDS.Tools~~~~0.0.1.0"));
        QCOMPARE(DirectoryCommands::windowsToolInstall(),
                 QStringLiteral(
                     "Add-WindowsCapability -online -Name Rsat.ActiveDirectory.DS-LDS.Tools~~~~0.0.1.0"));
    }

    void plan_data()
    {
        QTest::addColumn<QJsonArray>("backend");
        QTest::addColumn<QStringList>("directory");
        QTest::addColumn<QString>("changes");
        QTest::addColumn<QStringList>("creations");
        // Domain 5, directory user 7 throughout.
        QTest::newRow("consistent") << QJsonArray{group(1, "Staff", 5, {7, 8})} << QStringList{"Staff"} << ""
                                    << QStringList{};
        QTest::newRow("user left a group") << QJsonArray{group(1, "Staff", 5, {8, 7, 9})} << QStringList{}
                                           << "1:Staff:[8,9]" << QStringList{};
        QTest::newRow("user joined a group")
            << QJsonArray{group(2, "Dev", 5, {8})} << QStringList{"Dev"} << "2:Dev:[8,7]" << QStringList{};
        QTest::newRow("missing group created")
            << QJsonArray{} << QStringList{"Staff", "Dev"} << "" << QStringList{"Staff", "Dev"};
        QTest::newRow("other domain untouched, created here")
            << QJsonArray{group(3, "Staff", 6, {7})} << QStringList{"Staff"} << "" << QStringList{"Staff"};
        QTest::newRow("other domain not cleaned")
            << QJsonArray{group(3, "Old", 6, {7})} << QStringList{} << "" << QStringList{};
        QTest::newRow("duplicate directory names")
            << QJsonArray{} << QStringList{"A", "A"} << "" << QStringList{"A"};
        QTest::newRow("listed twice, removed at once")
            << QJsonArray{group(4, "X", 5, {7, 7})} << QStringList{} << "4:X:[]" << QStringList{};
        QTest::newRow("case-sensitive names") << QJsonArray{group(1, "staff", 5, {7})} << QStringList{"Staff"}
                                              << "1:staff:[]" << QStringList{"Staff"};
        QTest::newRow("group without id counts but is not changed")
            << QJsonArray{QJsonObject{{"name", "Staff"}, {"domain", 5}, {"ad_users", QJsonArray{}}}}
            << QStringList{"Staff"} << "" << QStringList{};
        QTest::newRow("domain as text is another domain")
            << QJsonArray{QJsonObject{
                   {"id", 1}, {"name", "Staff"}, {"domain", "5"}, {"ad_users", QJsonArray{7}}}}
            << QStringList{} << "" << QStringList{};
        QTest::newRow("members missing") << QJsonArray{QJsonObject{{"id", 9}, {"name", "Dev"}, {"domain", 5}}}
                                         << QStringList{"Dev"} << "9:Dev:[7]" << QStringList{};
        QTest::newRow("odd entries skipped") << QJsonArray{1, "text", QJsonValue(), QJsonArray{}}
                                             << QStringList{"A"} << "" << QStringList{"A"};
        QTest::newRow("name not text") << QJsonArray{QJsonObject{{"id", 1}, {"name", 5}, {"domain", 5}}}
                                       << QStringList{"5"} << "" << QStringList{"5"};
        QTest::newRow("mixed, backend order")
            << QJsonArray{group(1, "A", 5, {7}), group(2, "B", 5, {}), group(3, "C", 5, {7})}
            << QStringList{"B", "D", "C"} << "1:A:[] 2:B:[7]" << QStringList{"D"};
        QTest::newRow("empty directory name ignored")
            << QJsonArray{} << QStringList{""} << "" << QStringList{};
    }
    void plan()
    {
        QFETCH(QJsonArray, backend);
        QFETCH(QStringList, directory);
        const AdGroupPlan result = AdGroupPlan::build(backend, 5, 7, directory);
        QTEST(changesText(result), "changes");
        QTEST(result.creations, "creations");
    }

    void requestBodiesKeepValuesInside()
    {
        const QString user = QStringLiteral("a\",\"admin\":true,\"x\":\"");
        const QJsonObject body =
            QJsonDocument::fromJson(RestAD::userBody(user, "corp\"org", "host\\name", "Windows \"10\""))
                .object();
        QCOMPARE(body.size(), 4);
        QCOMPARE(body.value("name").toString(), user);
        QCOMPARE(body.value("domain_name").toString(), QStringLiteral("corp\"org"));
        QCOMPARE(body.value("hostname").toString(), QStringLiteral("host\\name"));
        QCOMPARE(body.value("os_info").toString(), QStringLiteral("Windows \"10\""));

        const QJsonObject domain = QJsonDocument::fromJson(RestAD::domainBody("x\"}")).object();
        QCOMPARE(domain, (QJsonObject{{"name", "x\"}"}}));

        const QJsonObject groupBody = QJsonDocument::fromJson(RestAD::groupBody("G\"", 5, {7, 8})).object();
        QCOMPARE(groupBody.value("name").toString(), QStringLiteral("G\""));
        QCOMPARE(groupBody.value("domain").toInt(), 5);
        QVERIFY(groupBody.value("parent").isNull());
        QCOMPARE(groupBody.value("ad_users").toArray(), (QJsonArray{7, 8}));
    }
};

// The directory functions of the settings store, with the machine and its
// programs faked.
class TestAdUserData : public QObject
{
    Q_OBJECT

private:
    FakeMachineInfo machine;

    void setUser(const QString& user)
    {
        machine.user = user;
        UserData::checkUsername();
    }

private slots:
    void init()
    {
        UserData::resetMemoryState();
        machine.domain = QStringLiteral("corp.example.org");
        ConstData::resetWorkingMode();
    }

    void groupsOfTheConsoleUser()
    {
        FakeProgramRunner runner;
#ifdef Q_OS_WIN
        // PowerShell's directory query prints one distinguished name per line.
        runner.setResult("powershell",
                         FakeProgramRunner::output("CN=Staff,OU=Groups,DC=corp,DC=example,DC=org\r\n"
                                                   "CN=Developers,OU=Groups,DC=corp,DC=example,DC=org\r\n",
                                                   0));
        const QStringList arguments{DirectoryCommands::windowsGroupQuery("anna", "corp.example.org")};
#else
        runner.setResult("id", FakeProgramRunner::output("Staff Developers@corp.example.org\n", 0));
        const QStringList arguments{"-Gn", "--", "anna"};
#endif
        setUser("anna");
        const QPair<QStringList, int> groups = UserData::getLdapGroups();
        QCOMPARE(groups.second, 0);
        QCOMPARE(groups.first, (QStringList{"Staff", "Developers"}));
        QCOMPARE(runner.calls().size(), 1);
        QCOMPARE(runner.calls().first().arguments, arguments);
        QCOMPARE(runner.calls().first().timeoutMs, 30000);
    }

    void failingQuery()
    {
        FakeProgramRunner runner;
#ifdef Q_OS_WIN
        const char* program = "powershell";
#else
        const char* program = "id";
#endif
        runner.setResult(program, FakeProgramRunner::output("no such user\n", 1));
        setUser("anna");
        QTest::ignoreMessage(QtWarningMsg, "Failed to get Groups! 1");
        const QPair<QStringList, int> groups = UserData::getLdapGroups();
        QCOMPARE(groups.second, 1);
        QVERIFY(groups.first.isEmpty());
    }

    void programMissing()
    {
        FakeProgramRunner runner; // no result: the program does not start
        setUser("anna");
        QTest::ignoreMessage(QtWarningMsg, "Failed to get Groups! -1");
        QCOMPARE(UserData::getLdapGroups().second, -1);
    }

    void noUser()
    {
        FakeProgramRunner runner;
        setUser(QString());
        QTest::ignoreMessage(QtWarningMsg, "I didn't get username");
        QCOMPARE(UserData::getLdapGroups().second, 1);
        QCOMPARE(runner.calls().size(), 0);
    }

    void unsafeUserNeverReachesTheCommand()
    {
        FakeProgramRunner runner;
        setUser("x' -Server 'evil");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^user or domain name not usable"));
        QCOMPARE(UserData::getLdapGroups().second, 1);
        QCOMPARE(runner.calls().size(), 0);
    }

    void toolsInstalledOnlyWhereMissing()
    {
        FakeProgramRunner runner;
#ifdef Q_OS_WIN
        // The capability is there: it is checked, not installed again.
        runner.setResult("powershell", FakeProgramRunner::output("State : Installed\r\n", 0));
        UserData::installAdTool();
        QCOMPARE(runner.calls().size(), 1);
        QCOMPARE(runner.calls().first().arguments,
                 (QStringList{"-Command", DirectoryCommands::windowsToolCheck()}));
#else
        // Nothing to install here.
        UserData::installAdTool();
        QCOMPARE(runner.calls().size(), 0);
#endif
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int status = 0;
    {
        TestAdLogic logic;
        status |= QTest::qExec(&logic, argc, argv);
    }
    {
        TestAdUserData userData;
        status |= QTest::qExec(&userData, argc, argv);
    }
    return status;
}

#include "tst_ad_logic.moc"
