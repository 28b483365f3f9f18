#include "SupportCommand.h"

#include "ControlFrame.h"
#include "MessageNames.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

namespace N = MessageNames;

QString name(const char* text)
{
    return QString::fromLatin1(text);
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
        "Commands:\n"
        "  status                      sign-in data stored, profile id, protocol, interfaces\n"
        "  protocol dns|doh|dot        choose the upstream transport\n"
        "  filtering on|off            switch protection\n"
        "  login | logout              as the GUI does after signing in / out\n"
        "  interfaces                  the interfaces and their switches\n"
        "  interface GUID on|off       switch protection of one interface\n"
        "  log                         toggle the agent's debug log\n"
        "  profiles | profile ID       list the profiles / choose one\n"
        "  version | sysinfo | debug   version check, system report, debug report\n"
        "  send NAME [JSON-OBJECT]     any message of the control channel\n"
        "  listen SECONDS              print whatever the agent sends meanwhile\n");
}

bool SupportCommand::fromWords(const QStringList& words, SupportCommand& command, QString& error)
{
    command = SupportCommand();
    if (words.isEmpty()) {
        error = QStringLiteral("no command given");
        return false;
    }
    const QString verb = words.first().toLower();
    const int count = static_cast<int>(words.size());
    const auto add = [&command](const char* info, const QJsonObject& data = QJsonObject(),
                                bool withData = false) {
        command.messages.append(ControlFrame::envelope(name(info), data, withData));
        command.awaited.append(repliesTo(name(info)));
    };
    const auto expectWords = [&](int n) {
        if (count == n)
            return true;
        error = QStringLiteral("\"%1\" takes %2 argument(s)").arg(verb).arg(n - 1);
        return false;
    };

    if (verb == QLatin1String("status")) {
        if (!expectWords(1))
            return false;
        add(N::AuthData);
        add(N::GetProfileId);
        add(N::GetSettings);
    } else if (verb == QLatin1String("protocol")) {
        int protocol = 0;
        if (!expectWords(2))
            return false;
        if (!parseProtocol(words.at(1), protocol)) {
            error = QStringLiteral("unknown protocol \"%1\" (dns, doh or dot)").arg(words.at(1));
            return false;
        }
        add(N::ChangeDnsProtocol, QJsonObject{{"dns_protocol", protocol}}, true);
    } else if (verb == QLatin1String("filtering")) {
        bool on = false;
        if (!expectWords(2))
            return false;
        if (!parseSwitch(words.at(1), on)) {
            error = QStringLiteral("filtering takes on or off");
            return false;
        }
        add(N::StatusFilteringLocal, QJsonObject{{"status", on ? 1 : 0}}, true);
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
        add(N::ChangeNetInterface, QJsonObject{{"guid", words.at(1)}, {"status", on}}, true);
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
        add(N::SetProfileId, QJsonObject{{"profile_id", id}}, true);
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
        command.messages.append(ControlFrame::envelope(words.at(1), data, count == 3));
        command.awaited.append(repliesTo(words.at(1)));
    } else if (verb == QLatin1String("listen")) {
        bool isNumber = false;
        if (!expectWords(2))
            return false;
        command.listenSeconds = words.at(1).toInt(&isNumber);
        if (!isNumber || command.listenSeconds <= 0) {
            error = QStringLiteral("listen takes a number of seconds");
            return false;
        }
    } else {
        error = QStringLiteral("unknown command \"%1\"").arg(words.first());
        return false;
    }

    if (command.awaited.isEmpty() && command.listenSeconds == 0) {
        command.messages.append(ControlFrame::envelope(name(barrierRequest)));
        command.barrierPending = true;
    }
    return true;
}

bool SupportCommand::accept(const QJsonObject& message, bool& print)
{
    const QString info = message.value(QStringLiteral("info")).toString();
    print = true;
    if (!awaited.isEmpty() && awaited.first() == info) {
        awaited.removeFirst();
    } else if (barrierPending && awaited.isEmpty() && info == name(barrierReply)) {
        barrierPending = false;
        print = false;
    }
    return done();
}
