#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// One invocation of corvanectl: the control messages to send after the
// greeting, and which replies end it. Commands that the agent answers with
// silence are followed by a cheap request whose reply proves the agent has
// handled them (the channel keeps the order); that reply is not printed.
class SupportCommand
{
public:
    // Builds the command from the words after the options, e.g.
    // {"protocol", "dot"} or {"send", "GETPROFILES"}. False with `error` set
    // when the words make no command.
    static bool fromWords(const QStringList& words, SupportCommand& command, QString& error);
    // The replies the agent gives to a command name, in order (empty: none).
    static QStringList repliesTo(const QString& name);
    static QString usage();

    // Takes one message from the agent. `print` tells whether it belongs on
    // the output; the return value whether everything awaited has arrived.
    bool accept(const QJsonObject& message, bool& print);
    bool done() const { return awaited.isEmpty() && !barrierPending && listenSeconds == 0; }

    QList<QJsonObject> messages;
    // Seconds to print whatever arrives (the "listen" command), 0 otherwise.
    int listenSeconds = 0;

private:
    QStringList awaited;
    bool barrierPending = false;
};
