#include "tools/corvanectl/SupportCommand.h"

#include "common/ControlFrame.h"
#include "common/ControlStatus.h"
#include "common/MessageNames.h"
#include "common/PayloadKeys.h"
#include "common/ResolverStatus.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>

namespace {

namespace N = MessageNames;

QString name(const char* text)
{
    return QString::fromLatin1(text);
}

// The answers to a right PIN (the last two tell about the machine
// identifier); the unlock before a settings command needs no more.
const QSet<int> pinRight{ControlStatus::checkPinOk, ControlStatus::checkPinUidRefused,
                         ControlStatus::checkPinBackendDown};

QString refusalOf(const QString& reply, int status)
{
    if (reply == QLatin1String(N::StatusCheckAuth))
        return status == ControlStatus::checkAuthTransportError
                   ? QStringLiteral("the agent could not reach the service to check the sign-in")
                   : QStringLiteral("the service refused the login and password or access key");
    if (reply == QLatin1String(N::StatusCreatePin))
        return status == ControlStatus::createPinRefused
                   ? QStringLiteral("the agent refused the PIN (it takes 4 to 20 characters, and only on "
                                    "the connection whose sign-in just succeeded)")
                   : QStringLiteral("the PIN was not set");
    if (reply == QLatin1String(N::StatusCheckPin)) {
        switch (status) {
        case ControlStatus::checkPinWrong:
            return QStringLiteral("wrong PIN");
        case ControlStatus::checkPinUidRefused:
            return QStringLiteral("the PIN is right but the service refused this machine (launch limit)");
        case ControlStatus::checkPinBackendDown:
            return QStringLiteral("the PIN is right but the service could not be reached");
        default:
            break;
        }
    }
    return QStringLiteral("%1 answered status %2").arg(reply).arg(status);
}

// The request used to learn that the agent has handled a silent command.
const char* const barrierRequest = N::GetCoordGui;
const char* const barrierReply = N::CoordGui;

bool parseSwitch(const QString& word, bool& on)
{
    const QString lower = word.toLower();
    if (lower == QLatin1String("on") || lower == QLatin1String("1") || lower == QLatin1String("true")) {
        on = true;
        return true;
    }
    if (lower == QLatin1String("off") || lower == QLatin1String("0") || lower == QLatin1String("false")) {
        on = false;
        return true;
    }
    return false;
}

bool parseProtocol(const QString& word, int& protocol)
{
    static const QHash<QString, int> names{{QStringLiteral("dns"), 0}, {QStringLiteral("udp"), 0},
                                           {QStringLiteral("0"), 0},   {QStringLiteral("doh"), 1},
                                           {QStringLiteral("1"), 1},   {QStringLiteral("dot"), 2},
                                           {QStringLiteral("2"), 2}};
    const auto it = names.constFind(word.toLower());
    if (it == names.constEnd())
        return false;
    protocol = it.value();
    return true;
}

} // namespace

QStringList SupportCommand::repliesTo(const QString& command)
{
    static const QHash<QString, QStringList> replies{
        {name(N::HelloGui), {name(N::HelloAgent)}},
        {name(N::HelloSupport), {name(N::HelloAgent)}},
        {name(N::GetVersion), {name(N::Versions)}},
        {name(N::Login), {name(N::StatusFilteringLocal)}},
        {name(N::GetProfiles), {name(N::Profiles)}},
        {name(N::GetProfileId), {name(N::ProfileId)}},
        {name(N::SetProfileId), {name(N::ProfileId)}},
        {name(N::GetSystemInfo), {name(N::SystemInfo)}},
        {name(N::GetDebug), {name(N::Debug)}},
        {name(N::GetSettings), {name(N::DnsProtocol), name(N::NetworkInterfaces)}},
        {name(N::CheckAuth), {name(N::StatusCheckAuth)}},
        {name(N::CreatePin), {name(N::StatusCreatePin)}},
        {name(N::CheckPin), {name(N::StatusCheckPin)}},
        {name(N::AuthData), {name(N::StatusAuthData)}},
        {name(N::GetCoordGui), {name(N::CoordGui)}},
        {name(N::ChangeStatusLog), {name(N::StatusLog)}},
    };
    return replies.value(command);
}

QString SupportCommand::usage()
{
    return QStringLiteral(
        "usage: corvanectl [--host ADDR] [--port N] [--timeout MS] [--pretty] [--json] [--pin-file F]\n"
        "                  COMMAND [ARGUMENTS...]\n"
        "Commands: status, signin, pin check, protocol, filtering, login, logout, interfaces, interface,\n"
        "          log, profiles, profile, version, sysinfo, debug, send, listen. See corvanectl --help.\n");
}

QString SupportCommand::manual()
{
    return QStringLiteral(
        "NAME\n"
        "    corvanectl - drive the Corvane Agent over its local control channel\n"
        "\n"
        "SYNOPSIS\n"
        "    corvanectl [OPTIONS] COMMAND [ARGUMENTS...]\n"
        "\n"
        "DESCRIPTION\n"
        "    Connects to the agent's control port as a support client, sends what the\n"
        "    command needs, one step after another as the tray program does, and prints\n"
        "    each reply of the agent as one JSON line. Passwords, access keys and PINs\n"
        "    are read from files or asked for without echo, and never printed. Before\n"
        "    any of them is sent, corvanectl checks that the program listening on the\n"
        "    port is the agent (on Linux: a socket of root held by agentcorvane; on\n"
        "    Windows: the process of the running service \"Corvane Agent\") and sends\n"
        "    nothing secret to anything else.\n"
        "\n"
        "COMMANDS\n"
        "    status                      a summary: signed in or not, protection, account,\n"
        "                                profile, transport chosen and in use, whether the\n"
        "                                filtering service answers and since when, the\n"
        "                                protected interfaces. The account, the profile's name\n"
        "                                and the protection switch need the PIN (--pin-file)\n"
        "                                while sign-in data is stored; without it they read\n"
        "                                \"(PIN needed)\"\n"
        "    status --json               the agent's replies as JSON lines, as other commands\n"
        "                                print them (sends no PIN)\n"
        "    signin LOGIN [--password-file F]\n"
        "                                sign in with the login and password (asked for when no\n"
        "                                file is given, read from standard input when it is not\n"
        "                                a terminal) and protect the sign-in data with the PIN\n"
        "                                (--pin-file, else asked for twice), all on one\n"
        "                                connection, which is where the agent takes a new PIN;\n"
        "                                then check the PIN and switch protection on, as the\n"
        "                                tray program does. When the agent already holds\n"
        "                                sign-in data, the same PIN is checked first.\n"
        "    signin --access-key-file F  the same with an access key (directory mode)\n"
        "    pin check                   check the stored sign-in data's PIN, then switch\n"
        "                                protection on\n"
        "    protocol dns|doh|dot        choose the upstream transport\n"
        "    filtering on|off            switch protection\n"
        "    login | logout              as the tray program does after signing in / out\n"
        "    interfaces                  the interfaces and their switches\n"
        "    interface GUID on|off       switch protection of one interface\n"
        "    log                         toggle the agent's debug log\n"
        "    profiles | profile ID       list the profiles / choose one\n"
        "    version | sysinfo | debug   version check, system report, debug report\n"
        "    send NAME [JSON-OBJECT]     any message of the control channel\n"
        "    listen SECONDS              print whatever the agent sends meanwhile\n"
        "    A PIN is created only together with the sign-in (signin above): the agent\n"
        "    refuses a PIN creation on any other connection.\n"
        "\n"
        "OPTIONS\n"
        "    --host ADDR         agent address (127.0.0.1); PINs, passwords and keys go only\n"
        "                        to a loopback address, where the listener can be checked\n"
        "    --port N            control port (49101)\n"
        "    --timeout MS        how long to wait for each answer (35000: the agent may be\n"
        "                        busy up to 30 s with an external program)\n"
        "    --pretty            indented JSON\n"
        "    --json              status: the replies as JSON lines instead of the summary\n"
        "    --pin-file F        the PIN, first line of F: for signin the new PIN, for \"pin\n"
        "                        check\" the PIN itself; for commands that change settings\n"
        "                        (filtering, protocol, profile, interface, log, logout),\n"
        "                        the reports (sysinfo, debug) and those answered with the\n"
        "                        account (login, profiles) it is checked first on the same\n"
        "                        connection, which the agent asks for while sign-in data\n"
        "                        is stored\n"
        "    --pin PIN           the same on the command line, where other users of the\n"
        "                        machine can read it (warned about; kept for old scripts)\n"
        "    --password-file F   the password for signin, first line of F\n"
        "    --access-key-file F the access key for signin, first line of F\n"
        "    -h, --help          this text\n"
        "\n"
        "EXIT STATUS\n"
        "    0  done\n"
        "    1  refused by the agent (wrong login, password, key or PIN; PIN refused)\n"
        "    2  the agent is unreachable or did not answer in time, or the port is held by\n"
        "       a program that is not the agent (then no PIN or password was sent)\n"
        "    3  usage error (also a PIN of fewer than 4 or more than 20 characters)\n"
        "\n"
        "EXAMPLES\n"
        "    Sign a fresh agent in with the development service's demo account:\n"
        "        corvanectl signin demo              (asks for the password, then the new\n"
        "                                            PIN twice)\n"
        "    The same from a script:\n"
        "        corvanectl --pin-file /root/agent.pin signin demo --password-file /root/demo.password\n"
        "    Directory mode:\n"
        "        corvanectl --pin-file /root/agent.pin signin --access-key-file /root/ad.key\n"
        "    Switch filtering off once signed in:\n"
        "        corvanectl --pin-file /root/agent.pin filtering off\n"
        "    Use DNS over TLS and show the result:\n"
        "        corvanectl --pin-file /root/agent.pin protocol dot && corvanectl status\n"
        "    Watch what the agent reports for a minute:\n"
        "        corvanectl listen 60\n");
}

bool SupportCommand::parseArguments(const QStringList& arguments, SupportInvocation& invocation,
                                    QString& error)
{
    invocation = SupportInvocation();
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption host(QStringLiteral("host"), QString(), QStringLiteral("address"));
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("port"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("ms"));
    const QCommandLineOption pretty(QStringLiteral("pretty"), QString());
    const QCommandLineOption json(QStringLiteral("json"), QString());
    const QCommandLineOption pin(QStringLiteral("pin"), QString(), QStringLiteral("pin"));
    const QCommandLineOption pinFile(QStringLiteral("pin-file"), QString(), QStringLiteral("file"));
    const QCommandLineOption passwordFile(QStringLiteral("password-file"), QString(), QStringLiteral("file"));
    const QCommandLineOption accessKeyFile(QStringLiteral("access-key-file"), QString(),
                                           QStringLiteral("file"));
    parser.addOptions({help, host, port, timeout, pretty, json, pin, pinFile, passwordFile, accessKeyFile});
    // Single dashes would make "profile -1" an option cluster; words stay words.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    if (!parser.parse(QStringList{QStringLiteral("corvanectl")} + arguments)) {
        error = parser.errorText();
        return false;
    }
    invocation.help = parser.isSet(help);
    if (parser.isSet(host)) {
        invocation.host = parser.value(host);
        if (invocation.host.isEmpty()) {
            error = QStringLiteral("--host takes an address");
            return false;
        }
    }
    if (parser.isSet(port)) {
        bool ok = false;
        const uint value = parser.value(port).toUInt(&ok);
        if (!ok || value == 0 || value > 65535) {
            error = QStringLiteral("--port takes a port number");
            return false;
        }
        invocation.port = static_cast<quint16>(value);
    }
    if (parser.isSet(timeout)) {
        bool ok = false;
        invocation.timeoutMs = parser.value(timeout).toInt(&ok);
        if (!ok || invocation.timeoutMs <= 0) {
            error = QStringLiteral("--timeout takes a positive number of milliseconds");
            return false;
        }
    }
    invocation.pretty = parser.isSet(pretty);
    invocation.json = parser.isSet(json);
    if (parser.isSet(pin) && parser.isSet(pinFile)) {
        error = QStringLiteral("give --pin or --pin-file, not both");
        return false;
    }
    invocation.pinGiven = parser.isSet(pin);
    invocation.pin = parser.value(pin);
    invocation.pinFile = parser.value(pinFile);
    invocation.passwordFile = parser.value(passwordFile);
    invocation.accessKeyFile = parser.value(accessKeyFile);
    invocation.words = parser.positionalArguments();
    if (!invocation.passwordFile.isEmpty() || !invocation.accessKeyFile.isEmpty()) {
        if (invocation.words.value(0).toLower() != QLatin1String("signin")) {
            error = QStringLiteral("--password-file and --access-key-file belong to signin");
            return false;
        }
        if (!invocation.passwordFile.isEmpty() && !invocation.accessKeyFile.isEmpty()) {
            error = QStringLiteral("signin takes a password or an access key, not both");
            return false;
        }
    }
    return true;
}

bool SupportCommand::needsPasswordPrompt(const SupportInvocation& invocation)
{
    return invocation.words.size() == 2 && invocation.words.first().toLower() == QLatin1String("signin") &&
           invocation.passwordFile.isEmpty() && invocation.accessKeyFile.isEmpty();
}

bool SupportCommand::pinIsNew(const SupportInvocation& invocation)
{
    return invocation.words.value(0).toLower() == QLatin1String("signin");
}

bool SupportCommand::needsPinPrompt(const SupportInvocation& invocation)
{
    if (invocation.pinGiven || !invocation.pinFile.isEmpty())
        return false;
    const QString verb = invocation.words.value(0).toLower();
    const int count = static_cast<int>(invocation.words.size());
    if (verb == QLatin1String("signin"))
        return count == 2 || (count == 1 && !invocation.accessKeyFile.isEmpty());
    return count == 2 && verb == QLatin1String("pin") &&
           invocation.words.at(1).toLower() == QLatin1String("check");
}

QString SupportCommand::secretFromFile(const QByteArray& contents)
{
    const int end = contents.indexOf('\n');
    QByteArray line = end < 0 ? contents : contents.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

bool SupportCommand::needsPin(const QString& command)
{
    static const QSet<QString> guarded{name(N::StatusFilteringLocal), name(N::ChangeDnsProtocol),
                                       name(N::SetProfileId), name(N::ChangeStatusLog), name(N::Logout),
                                       name(N::CheckAuth), name(N::ChangeNetInterface),
                                       name(N::GetSystemInfo), name(N::GetDebug), name(N::SendDebugInfo),
                                       // answered with the account, which the
                                       // agent shows only after the PIN
                                       name(N::Login), name(N::GetProfiles)};
    return guarded.contains(command);
}

int SupportCommand::exitCode(Progress progress)
{
    switch (progress) {
    case Progress::Finished:
        return Ok;
    case Progress::Refused:
        return Refused;
    case Progress::Waiting:
    case Progress::Next:
        break;
    }
    // Ended before every answer came: the agent did not answer in time.
    return Unreachable;
}

void SupportCommand::add(const QJsonObject& message, const QStringList& replies,
                         const QSet<int>& acceptedStatus, bool quietReply)
{
    steps.append(Step{message, replies, acceptedStatus, quietReply});
}

QList<QJsonObject> SupportCommand::messages() const
{
    QList<QJsonObject> all;
    for (const Step& step : steps)
        all.append(step.message);
    return all;
}

bool SupportCommand::carriesSecret() const
{
    // The PIN a step may add once the agent has answered.
    if (!unlockPin.isEmpty())
        return true;
    return std::any_of(steps.cbegin(), steps.cend(), [](const Step& step) {
        const QJsonValue data = step.message.value(PayloadKeys::Data);
        if (!data.isObject())
            return false;
        const QJsonObject object = data.toObject();
        return object.contains(PayloadKeys::PinCode) || object.contains(PayloadKeys::Password) ||
               object.contains(PayloadKeys::Token);
    });
}

bool SupportCommand::fromWords(const QStringList& words, SupportCommand& command, QString& error,
                               const Secrets& secrets, bool json)
{
    command = SupportCommand();
    if (words.isEmpty()) {
        error = QStringLiteral("no command given");
        return false;
    }
    const QString verb = words.first().toLower();
    const int count = static_cast<int>(words.size());
    const auto add = [&command](const char* info, const QJsonObject& data = QJsonObject(),
                                bool withData = false, const QSet<int>& acceptedStatus = {}) {
        command.add(ControlFrame::envelope(name(info), data, withData), repliesTo(name(info)),
                    acceptedStatus);
    };
    const auto expectWords = [&](int n) {
        if (count == n)
            return true;
        error = QStringLiteral("\"%1\" takes %2 argument(s)").arg(verb).arg(n - 1);
        return false;
    };
    // After a right PIN the tray program reports the sign-in, which switches
    // protection on.
    const auto checkPinThenLogin = [&]() {
        add(N::CheckPin, QJsonObject{{PayloadKeys::PinCode, secrets.pin}}, true, {ControlStatus::checkPinOk});
        add(N::Login);
    };

    if (verb == QLatin1String("status")) {
        if (!expectWords(1))
            return false;
        add(N::AuthData);
        add(N::GetProfileId);
        add(N::GetSettings);
        command.summary = !json;
        command.showsResolver = true;
        // The account's name, its profiles' names and the protection switch
        // are the agent's only after the PIN: with the PIN given, and only
        // while sign-in data is stored, the summary checks it and asks.
        if (command.summary && !secrets.pin.isEmpty()) {
            command.accountWhenStored = true;
            command.unlockPin = secrets.pin;
        }
        return true;
    } else if (verb == QLatin1String("signin")) {
        QJsonObject signIn;
        if (count == 1 && !secrets.accessKey.isEmpty()) {
            signIn = QJsonObject{{PayloadKeys::Token, secrets.accessKey}};
        } else if (count == 2) {
            signIn =
                QJsonObject{{PayloadKeys::Login, words.at(1)}, {PayloadKeys::Password, secrets.password}};
        } else {
            error = QStringLiteral("signin takes a login, or --access-key-file");
            return false;
        }
        if (secrets.pin.size() < minPinLength || secrets.pin.size() > maxPinLength) {
            error = QStringLiteral(
                        "signin needs the new PIN (--pin-file, or typed when asked): %1 to %2 characters")
                        .arg(minPinLength)
                        .arg(maxPinLength);
            return false;
        }
        // The agent takes a new PIN only on the connection whose sign-in has
        // just succeeded, so the sign-in and the PIN go together.
        command.add(ControlFrame::envelope(name(N::AuthData)), repliesTo(name(N::AuthData)), {}, true);
        command.steps.last().unlockWhenStored = true;
        command.unlockPin = secrets.pin;
        add(N::CheckAuth, signIn, true, {ControlStatus::checkAuthOk});
        add(N::CreatePin, QJsonObject{{PayloadKeys::PinCode, secrets.pin}}, true,
            {ControlStatus::createPinOk});
        checkPinThenLogin();
        return true;
    } else if (verb == QLatin1String("pin")) {
        if (!expectWords(2))
            return false;
        const QString action = words.at(1).toLower();
        if (action == QLatin1String("create")) {
            error = QStringLiteral("a PIN is created with the sign-in, on its connection: "
                                   "corvanectl --pin-file F signin LOGIN [--password-file P]");
            return false;
        }
        if (action != QLatin1String("check")) {
            error = QStringLiteral("pin takes check (a new PIN comes with signin)");
            return false;
        }
        checkPinThenLogin();
        // The PIN of this command is the one checked, never an unlock.
        return true;
    } else if (verb == QLatin1String("protocol")) {
        int protocol = 0;
        if (!expectWords(2))
            return false;
        if (!parseProtocol(words.at(1), protocol)) {
            error = QStringLiteral("unknown protocol \"%1\" (dns, doh or dot)").arg(words.at(1));
            return false;
        }
        add(N::ChangeDnsProtocol, QJsonObject{{PayloadKeys::DnsProtocol, protocol}}, true);
    } else if (verb == QLatin1String("filtering")) {
        bool on = false;
        if (!expectWords(2))
            return false;
        if (!parseSwitch(words.at(1), on)) {
            error = QStringLiteral("filtering takes on or off");
            return false;
        }
        add(N::StatusFilteringLocal,
            QJsonObject{{PayloadKeys::Status, on ? ControlStatus::filteringOn : ControlStatus::filteringOff}},
            true);
    } else if (verb == QLatin1String("login")) {
        if (!expectWords(1))
            return false;
        add(N::Login);
    } else if (verb == QLatin1String("logout")) {
        if (!expectWords(1))
            return false;
        add(N::Logout);
    } else if (verb == QLatin1String("interfaces")) {
        if (!expectWords(1))
            return false;
        add(N::GetSettings);
    } else if (verb == QLatin1String("interface")) {
        bool on = false;
        if (!expectWords(3))
            return false;
        if (!parseSwitch(words.at(2), on)) {
            error = QStringLiteral("interface takes a GUID and on or off");
            return false;
        }
        add(N::ChangeNetInterface, QJsonObject{{PayloadKeys::Guid, words.at(1)}, {PayloadKeys::Status, on}},
            true);
    } else if (verb == QLatin1String("log")) {
        if (!expectWords(1))
            return false;
        add(N::ChangeStatusLog);
    } else if (verb == QLatin1String("profiles")) {
        if (!expectWords(1))
            return false;
        add(N::GetProfiles);
    } else if (verb == QLatin1String("profile")) {
        bool isNumber = false;
        if (!expectWords(2))
            return false;
        const qint64 id = words.at(1).toLongLong(&isNumber);
        if (!isNumber || id < 0 || id > 0xFFFFFFFFLL) {
            error = QStringLiteral("profile takes a profile id");
            return false;
        }
        add(N::SetProfileId, QJsonObject{{PayloadKeys::ProfileId, id}}, true);
    } else if (verb == QLatin1String("version")) {
        if (!expectWords(1))
            return false;
        add(N::GetVersion);
    } else if (verb == QLatin1String("sysinfo")) {
        if (!expectWords(1))
            return false;
        add(N::GetSystemInfo);
    } else if (verb == QLatin1String("debug")) {
        if (!expectWords(1))
            return false;
        add(N::GetDebug);
    } else if (verb == QLatin1String("send")) {
        if (count < 2 || count > 3) {
            error = QStringLiteral("send takes a message name and an optional JSON object");
            return false;
        }
        QJsonObject data;
        if (count == 3) {
            QJsonParseError parseError{};
            const QJsonDocument document = QJsonDocument::fromJson(words.at(2).toUtf8(), &parseError);
            if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
                error = QStringLiteral("the data must be a JSON object");
                return false;
            }
            data = document.object();
        }
        command.add(ControlFrame::envelope(words.at(1), data, count == 3), repliesTo(words.at(1)));
    } else if (verb == QLatin1String("listen")) {
        bool isNumber = false;
        if (!expectWords(2))
            return false;
        command.listenSeconds = words.at(1).toInt(&isNumber);
        command.showsResolver = true;
        if (!isNumber || command.listenSeconds <= 0) {
            error = QStringLiteral("listen takes a number of seconds");
            return false;
        }
    } else {
        error = QStringLiteral("unknown command \"%1\"").arg(words.first());
        return false;
    }

    // The agent takes settings commands only after the PIN was checked on the
    // same connection while sign-in data is stored: check it first when given.
    const bool guarded = std::any_of(command.steps.cbegin(), command.steps.cend(), [](const Step& step) {
        return needsPin(step.message.value(PayloadKeys::Info).toString());
    });
    if (guarded && !secrets.pin.isEmpty())
        command.steps.prepend(
            Step{ControlFrame::envelope(name(N::CheckPin), {{PayloadKeys::PinCode, secrets.pin}}, true),
                 repliesTo(name(N::CheckPin)), pinRight, false});
    if (!command.steps.isEmpty() && command.steps.last().replies.isEmpty())
        command.add(ControlFrame::envelope(name(barrierRequest)), {name(barrierReply)}, {}, true);
    return true;
}

QList<QJsonObject> SupportCommand::nextMessages()
{
    QList<QJsonObject> out;
    while (position < steps.size()) {
        const Step& step = steps.at(position++);
        out.append(step.message);
        awaited = step.replies;
        accepted = step.accepted;
        quiet = step.quiet;
        unlockWhenStored = step.unlockWhenStored;
        accountAfterPin = step.accountAfterPin;
        if (!awaited.isEmpty())
            break;
    }
    return out;
}

SupportCommand::Progress SupportCommand::accept(const QJsonObject& message, bool& print)
{
    const QString info = message.value(PayloadKeys::Info).toString();
    // The resolver's state comes unasked right after the greeting: a line of
    // its own only where it was asked for, so that the output of the other
    // commands stays what scripts read.
    print = info != QLatin1String(N::StatusResolver) || showsResolver;
    if (awaited.isEmpty() || awaited.first() != info)
        return Progress::Waiting;
    awaited.removeFirst();
    print = !quiet;
    if (!accepted.isEmpty()) {
        const QJsonValue status = message.value(PayloadKeys::Data).toObject().value(PayloadKeys::Status);
        const int value = status.isDouble() ? status.toInt() : -1;
        if (!accepted.contains(value)) {
            refusalText = refusalOf(info, value);
            steps.clear();
            position = 0;
            awaited.clear();
            return Progress::Refused;
        }
    }
    if (unlockWhenStored && info == QLatin1String(N::StatusAuthData) &&
        message.value(PayloadKeys::Data).toObject().value(PayloadKeys::Status).toBool()) {
        unlockWhenStored = false;
        steps.insert(position, Step{ControlFrame::envelope(name(N::CheckPin),
                                                           {{PayloadKeys::PinCode, unlockPin}}, true),
                                    repliesTo(name(N::CheckPin)), pinRight, false, false});
    }
    const QJsonObject data = message.value(PayloadKeys::Data).toObject();
    if (accountWhenStored && info == QLatin1String(N::StatusAuthData)) {
        accountWhenStored = false;
        if (data.value(PayloadKeys::Status).toBool()) {
            Step check{ControlFrame::envelope(name(N::CheckPin), {{PayloadKeys::PinCode, unlockPin}}, true),
                       repliesTo(name(N::CheckPin)),
                       {},
                       true,
                       false,
                       true};
            steps.insert(position, check);
        }
    }
    if (accountAfterPin && info == QLatin1String(N::StatusCheckPin)) {
        accountAfterPin = false;
        // As the tray program does after a right PIN: the profiles, and the
        // sign-in report (the account, the protection switch). It changes
        // nothing while sign-in data is stored.
        if (data.value(PayloadKeys::Status).toInt() == ControlStatus::checkPinOk) {
            steps.insert(position, Step{ControlFrame::envelope(name(N::Login)),
                                        repliesTo(name(N::Login)),
                                        {},
                                        false,
                                        false,
                                        false});
            steps.insert(position, Step{ControlFrame::envelope(name(N::GetProfiles)),
                                        repliesTo(name(N::GetProfiles)),
                                        {},
                                        false,
                                        false,
                                        false});
        }
    }
    if (!awaited.isEmpty())
        return Progress::Waiting;
    return position < steps.size() ? Progress::Next : Progress::Finished;
}

QString SupportCommand::duration(qint64 ms)
{
    const qint64 seconds = std::max<qint64>(0, ms / 1000);
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return QStringLiteral("%1 min").arg(minutes);
    const qint64 hours = minutes / 60;
    if (hours < 48)
        return minutes % 60 ? QStringLiteral("%1 h %2 min").arg(hours).arg(minutes % 60)
                            : QStringLiteral("%1 h").arg(hours);
    return QStringLiteral("%1 days").arg(hours / 24);
}

namespace {

// What the agent sends goes to a terminal: no escape sequence or line break
// of a damaged or foreign peer reaches it, nor an endless string.
QString printable(const QString& text)
{
    QString shown = text.left(120);
    for (QChar& c : shown) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control ||
            c.category() == QChar::Other_Format)
            c = QLatin1Char('?');
    }
    return shown;
}

QString resolverHealth(const ResolverStatus& status)
{
    switch (status.state) {
    case ResolverStatus::State::Starting:
        return QStringLiteral("starting");
    case ResolverStatus::State::Filtered:
        return QStringLiteral("filtered");
    case ResolverStatus::State::PlainDns:
        return QStringLiteral("filtered over plain DNS: the encrypted connection is blocked");
    case ResolverStatus::State::FailOpen:
        return QStringLiteral("NOT FILTERED: the filtering service cannot be reached, the network's own "
                              "servers answer");
    case ResolverStatus::State::FailClosed:
        return QStringLiteral("NO INTERNET: the filtering service cannot be reached, queries fail");
    case ResolverStatus::State::PortTaken:
        return QStringLiteral("NOT FILTERED: another program holds the DNS port, interfaces left alone");
    }
    return QString();
}

QString protocolWord(const QJsonValue& value)
{
    switch (value.toInt(-1)) {
    case 0:
        return QStringLiteral("DNS");
    case 1:
        return QStringLiteral("DoH");
    case 2:
        return QStringLiteral("DoT");
    default:
        return QString();
    }
}

} // namespace

QString SupportCommand::statusSummary(const QList<QJsonObject>& messages, qint64 nowMs, int utcOffsetSeconds,
                                      bool pinGiven)
{
    // The last message of each name counts; what is missing or malformed
    // reads as not reported.
    QHash<QString, QJsonObject> last;
    for (const QJsonObject& message : messages)
        last.insert(message.value(PayloadKeys::Info).toString(), message.value(PayloadKeys::Data).toObject());
    const auto has = [&last](const char* info) { return last.contains(name(info)); };
    const auto data = [&last](const char* info) { return last.value(name(info)); };

    const QJsonValue stored = data(N::StatusAuthData).value(PayloadKeys::Status);
    const bool signedIn = stored.toBool();
    const bool pinRefused =
        has(N::StatusCheckPin) &&
        data(N::StatusCheckPin).value(PayloadKeys::Status).toInt() != ControlStatus::checkPinOk;
    // Fields that the agent gives only after the PIN.
    const QString guarded = !pinGiven    ? QStringLiteral("(PIN needed)")
                            : pinRefused ? QStringLiteral("(PIN refused)")
                                         : QStringLiteral("(not reported)");
    const auto line = [](const QString& label, const QString& value) -> QString {
        return QString(label + QLatin1Char(':')).leftJustified(12) + value + QLatin1Char('\n');
    };

    QString text;
    text += line(QStringLiteral("Signed in"), !stored.isBool() ? QStringLiteral("(not reported)")
                                              : signedIn       ? QStringLiteral("yes")
                                                               : QStringLiteral("no"));
    QString protection;
    QString account;
    QString profile;
    const QJsonValue profileId = data(N::ProfileId).value(PayloadKeys::ProfileId);
    const QString id = profileId.isString()   ? profileId.toString()
                       : profileId.isDouble() ? QString::number(qint64(profileId.toDouble()))
                                              : QString();
    if (stored.isBool() && !signedIn) {
        protection = QStringLiteral("off (not signed in)");
        account = QStringLiteral("none");
        profile = QStringLiteral("none");
    } else {
        const QJsonValue local = data(N::StatusFilteringLocal).value(PayloadKeys::Status);
        protection = local.isDouble() ? (local.toInt() != ControlStatus::filteringOff ? QStringLiteral("on")
                                                                                      : QStringLiteral("off"))
                                      : guarded;
        const QString user = data(N::UserInfo).value(PayloadKeys::Username).toString();
        account = user.isEmpty() ? guarded : printable(user);
        QString profileName;
        for (const QJsonValue& entry : data(N::Profiles).value(PayloadKeys::Profiles).toArray()) {
            const QJsonObject object = entry.toObject();
            if (!id.isEmpty() && object.value(PayloadKeys::Id).toVariant().toString() == id)
                profileName = printable(object.value(PayloadKeys::Name).toString());
        }
        if (profileName.isEmpty())
            profileName = guarded;
        profile = id.isEmpty() ? profileName : profileName + QStringLiteral(" (id ") + id + QLatin1Char(')');
    }
    text += line(QStringLiteral("Protection"), protection);
    text += line(QStringLiteral("Account"), account);
    text += line(QStringLiteral("Profile"), profile);

    ResolverStatus resolver;
    const bool resolverKnown = ResolverStatus::fromJson(data(N::StatusResolver), &resolver);
    QString chosen = protocolWord(data(N::DnsProtocol).value(PayloadKeys::DnsProtocol));
    if (chosen.isEmpty() && resolverKnown)
        chosen = resolver.chosen;
    QString transport =
        chosen.isEmpty() ? QStringLiteral("(not reported)") : chosen + QStringLiteral(" chosen");
    if (resolverKnown && !resolver.inUse.isEmpty())
        transport += QStringLiteral(", ") + resolver.inUse + QStringLiteral(" in use");
    text += line(QStringLiteral("Transport"), transport);
    if (!resolverKnown) {
        // Agents before the resolver's health was tracked do not send it.
        text += line(QStringLiteral("Resolver"), QStringLiteral("(not reported by this agent)"));
    } else {
        QString health = resolverHealth(resolver);
        if (!resolver.detail.isEmpty())
            health += QStringLiteral(" (") + resolver.detail + QLatin1Char(')');
        if (resolver.sinceMs > 0) {
            const QDateTime since =
                QDateTime::fromMSecsSinceEpoch(resolver.sinceMs, Qt::OffsetFromUTC, utcOffsetSeconds);
            health += QStringLiteral(", since ") + since.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
            if (nowMs >= resolver.sinceMs)
                health += QStringLiteral(" (for ") + duration(nowMs - resolver.sinceMs) + QLatin1Char(')');
        }
        text += line(QStringLiteral("Resolver"), health);
    }

    QStringList on;
    QStringList off;
    for (const QJsonValue& entry : data(N::NetworkInterfaces).value(PayloadKeys::Interfaces).toArray()) {
        const QJsonObject object = entry.toObject();
        QString shown = printable(object.value(PayloadKeys::Name).toString());
        if (shown.isEmpty())
            shown = printable(object.value(PayloadKeys::Guid).toString());
        (object.value(PayloadKeys::Status).toBool() ? on : off).append(shown);
    }
    QString interfaces = on.isEmpty() ? QStringLiteral("none") : on.join(QStringLiteral(", "));
    if (!off.isEmpty())
        interfaces += QStringLiteral("; not protected: ") + off.join(QStringLiteral(", "));
    if (!has(N::NetworkInterfaces))
        interfaces = QStringLiteral("(not reported)");
    text += line(QStringLiteral("Protected"), interfaces);
    return text;
}
