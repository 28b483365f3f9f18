#pragma once

#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// What corvanectl was asked for on its command line, before any file is read
// or anything is prompted for.
struct SupportInvocation
{
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 49101;
    // The agent runs its external programs (certificate store, reports) on
    // its own thread for up to 30 s, answering nothing meanwhile: each step
    // waits a little longer than that by default.
    int timeoutMs = 35000;
    bool pretty = false;
    // "status": the replies as JSON lines (as before) instead of the summary.
    bool json = false;
    bool help = false;
    // The PIN: given on the command line (visible to other users: warned
    // about), in a file, or neither (then asked for where a command needs it).
    QString pin;
    bool pinGiven = false;
    QString pinFile;
    QString passwordFile;
    QString accessKeyFile;
    QStringList words;
};

// One invocation of corvanectl: the control messages to send after the
// greeting, one step after another, and which replies end each step. A step
// whose reply carries a "status" outside the accepted ones ends the command as
// refused, so nothing after a refused PIN or sign-in is sent. Commands that
// the agent answers with silence are followed by a cheap request whose reply
// proves the agent has handled them (the channel keeps the order); that reply
// is not printed.
class SupportCommand
{
public:
    enum ExitCode
    {
        Ok = 0,
        Refused = 1,
        Unreachable = 2,
        Usage = 3
    };
    enum class Progress
    {
        Waiting,  // the current step awaits more replies
        Next,     // the current step is complete; send nextMessages()
        Finished, // every step is complete
        Refused   // a reply refused the step; nothing more is sent
    };
    // Secrets read from files or prompts, which the words name but never hold.
    struct Secrets
    {
        QString password;
        QString pin;
        QString accessKey;
    };

    // Splits the arguments (without the program name). False with `error` set
    // on a malformed option.
    static bool parseArguments(const QStringList& arguments, SupportInvocation& invocation, QString& error);
    // Which secrets the command needs that the options do not already name a
    // source for: the caller prompts for them.
    static bool needsPasswordPrompt(const SupportInvocation& invocation);
    static bool needsPinPrompt(const SupportInvocation& invocation);
    // Whether the PIN asked for is a new one (typed twice on a terminal).
    static bool pinIsNew(const SupportInvocation& invocation);
    // Shortest and longest PIN the agent stores.
    static constexpr int minPinLength = 4;
    static constexpr int maxPinLength = 20;
    // The secret a file holds: its first line without the line end.
    static QString secretFromFile(const QByteArray& contents);

    // Builds the command from the words after the options, e.g.
    // {"protocol", "dot"} or {"signin", "demo"}. False with `error` set
    // when the words make no command.
    // `json`: "status" prints the replies (and asks only what it asked
    // before) instead of gathering them for statusSummary().
    static bool fromWords(const QStringList& words, SupportCommand& command, QString& error,
                          const Secrets& secrets = Secrets(), bool json = false);
    // What "status" prints for a person, from every message the agent sent
    // after its greeting. `nowMs` and the times in them are ms since the
    // epoch, shown at `utcOffsetSeconds` from UTC; `pinGiven`: fields that
    // need the PIN say so only when none was given.
    static QString statusSummary(const QList<QJsonObject>& messages, qint64 nowMs, int utcOffsetSeconds,
                                 bool pinGiven);
    // "5 min", "3 h 12 min", ...
    static QString duration(qint64 ms);
    // The replies the agent gives to a command name, in order (empty: none).
    static QStringList repliesTo(const QString& name);
    // Whether the agent takes the command only after the PIN was checked on
    // the same connection while sign-in data is stored.
    static bool needsPin(const QString& name);
    static int exitCode(Progress progress);
    static QString usage();
    static QString manual();

    // The messages to send now: the next step's and, while a step awaits no
    // reply, the ones after it.
    QList<QJsonObject> nextMessages();
    // Takes one message from the agent. `print` tells whether it belongs on
    // the output.
    Progress accept(const QJsonObject& message, bool& print);
    // Why the last step was refused, for the user (never a secret).
    QString refusal() const { return refusalText; }
    bool done() const { return position >= steps.size() && awaited.isEmpty() && listenSeconds == 0; }

    // Every message of every step, in the order they are sent (without the
    // PIN check that a sign-in adds when the agent holds sign-in data).
    QList<QJsonObject> messages() const;
    // Whether any message carries a PIN, password or access key: those go
    // only to a listener that is the agent (ListenerOwner).
    bool carriesSecret() const;
    // Seconds to print whatever arrives (the "listen" command), 0 otherwise.
    int listenSeconds = 0;
    // The replies are gathered for statusSummary() instead of printed.
    bool summary = false;
    // Whether the resolver's state ("STATUSRESOLVER", unasked) is printed.
    bool showsResolver = false;

private:
    struct Step
    {
        QJsonObject message;
        QStringList replies;
        // Accepted values of the last reply's "status" (empty: any reply).
        QSet<int> accepted;
        bool quiet = false;
        // A sign-in's first question: when the agent answers that it holds
        // sign-in data, the PIN is checked before the new sign-in, which the
        // agent takes only then.
        bool unlockWhenStored = false;
        // The summary's PIN check: when the PIN is right, the account's
        // profiles and the sign-in report follow.
        bool accountAfterPin = false;
    };
    void add(const QJsonObject& message, const QStringList& replies, const QSet<int>& accepted = {},
             bool quiet = false);

    QList<Step> steps;
    int position = 0;
    QStringList awaited;
    QSet<int> accepted;
    bool quiet = false;
    bool unlockWhenStored = false;
    bool accountAfterPin = false;
    bool accountWhenStored = false;
    QString unlockPin;
    QString refusalText;
};
