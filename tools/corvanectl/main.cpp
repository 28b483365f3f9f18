#include "ControlFrame.h"
#include "FrameReader.h"
#include "MessageNames.h"
#include "SupportCommand.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {

enum ExitCode
{
    Ok = 0,
    Usage = 1,
    NoConnection = 2,
    NoReply = 3
};

void printLine(FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void fail(const QString& text)
{
    printLine(stderr, QByteArray("corvanectl: ") + text.toUtf8());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvanectl"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Talks to the Corvane Agent over its local control channel as a support client and "
                       "prints each reply as one JSON line.\n\n") +
        SupportCommand::usage());
    parser.addHelpOption();
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Agent address (127.0.0.1)."),
                                        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Control port (49101)."),
                                        QStringLiteral("port"), QStringLiteral("49101"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Milliseconds to wait for the replies (10000)."),
                                           QStringLiteral("ms"), QStringLiteral("10000"));
    const QCommandLineOption prettyOption(QStringLiteral("pretty"), QStringLiteral("Indented JSON."));
    parser.addOptions({hostOption, portOption, timeoutOption, prettyOption});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do (see above)."),
                                 QStringLiteral("command [arguments...]"));
    parser.process(application);

    SupportCommand command;
    QString error;
    if (!SupportCommand::fromWords(parser.positionalArguments(), command, error)) {
        fail(error);
        printLine(stderr, SupportCommand::usage().toUtf8());
        return Usage;
    }
    const QHostAddress host(parser.value(hostOption));
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    bool timeoutOk = false;
    const int timeoutMs = parser.value(timeoutOption).toInt(&timeoutOk);
    if (host.isNull() || !portOk || port == 0 || port > 65535 || !timeoutOk || timeoutMs <= 0) {
        fail(QStringLiteral("bad --host, --port or --timeout"));
        return Usage;
    }
    const QJsonDocument::JsonFormat format =
        parser.isSet(prettyOption) ? QJsonDocument::Indented : QJsonDocument::Compact;

    QTcpSocket socket;
    socket.connectToHost(host, static_cast<quint16>(port));
    if (!socket.waitForConnected(timeoutMs)) {
        fail(QStringLiteral("cannot connect to %1:%2: %3")
                 .arg(host.toString())
                 .arg(port)
                 .arg(socket.errorString()));
        return NoConnection;
    }

    FrameReader reader;
    bool greeted = false;
    bool finished = false;
    const auto finish = [&finished](int code) {
        if (finished)
            return;
        finished = true;
        QCoreApplication::exit(code);
    };

    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &application, [&] {
        fail(greeted ? QStringLiteral("no complete reply within %1 ms").arg(timeoutMs)
                     : QStringLiteral("the agent did not answer the greeting within %1 ms").arg(timeoutMs));
        finish(NoReply);
    });
    QTimer listening;
    listening.setSingleShot(true);
    QObject::connect(&listening, &QTimer::timeout, &application, [&] { finish(Ok); });

    QObject::connect(&socket, &QTcpSocket::readyRead, &application, [&] {
        const int droppedBefore = reader.droppedFrames();
        const QVector<QString> texts = reader.feed(socket.readAll());
        if (reader.droppedFrames() != droppedBefore)
            fail(QStringLiteral("dropped %1 malformed frame(s)").arg(reader.droppedFrames() - droppedBefore));
        for (const QString& text : texts) {
            if (finished)
                return;
            const QJsonObject message = ControlFrame::parse(text);
            if (!greeted) {
                if (message.value(QStringLiteral("info")).toString() !=
                    QLatin1String(MessageNames::HelloAgent))
                    continue;
                greeted = true;
                for (const QJsonObject& request : command.messages)
                    socket.write(ControlFrame::encode(request));
                if (command.listenSeconds > 0) {
                    deadline.stop();
                    listening.start(command.listenSeconds * 1000);
                } else if (command.done()) {
                    finish(Ok);
                }
                continue;
            }
            bool print = false;
            const bool done = command.accept(message, print);
            if (print)
                printLine(stdout, QJsonDocument(message).toJson(format).trimmed());
            if (done)
                finish(Ok);
        }
    });
    QObject::connect(&socket, &QTcpSocket::disconnected, &application, [&] {
        if (finished)
            return;
        fail(QStringLiteral("the agent closed the connection"));
        finish(command.listenSeconds > 0 && greeted ? Ok : NoReply);
    });

    socket.write(ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::HelloSupport))));
    deadline.start(timeoutMs);
    return application.exec();
}
