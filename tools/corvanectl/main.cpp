#include "common/ControlFrame.h"
#include "common/FrameReader.h"
#include "common/ListenerOwner.h"
#include "common/MessageNames.h"
#include "common/PayloadKeys.h"
#include "tools/corvanectl/SupportCommand.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <string>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace {

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

bool stdinIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stdin)) != 0;
#else
    return isatty(STDIN_FILENO) != 0;
#endif
}

// Turns the terminal's echo off for as long as it lives, when standard input
// is a terminal at all.
class EchoOff
{
public:
    EchoOff()
    {
#ifdef Q_OS_WIN
        input = GetStdHandle(STD_INPUT_HANDLE);
        active = GetConsoleMode(input, &saved) && SetConsoleMode(input, saved & ~ENABLE_ECHO_INPUT);
#else
        active = stdinIsTerminal() && tcgetattr(STDIN_FILENO, &saved) == 0;
        if (active) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            active = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        }
#endif
    }
    ~EchoOff()
    {
        if (!active)
            return;
#ifdef Q_OS_WIN
        SetConsoleMode(input, saved);
#else
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
#endif
        std::fputc('\n', stderr);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    bool isTerminal() const
    {
        return active;
    }

private:
    bool active = false;
#ifdef Q_OS_WIN
    HANDLE input = nullptr;
    DWORD saved = 0;
#else
    termios saved{};
#endif
};

// Asks for a secret on the terminal without echo; without a terminal, reads
// one line of standard input (a script piping it in).
bool promptSecret(const char* prompt, QString& secret)
{
    std::string line;
    {
        const EchoOff echoOff;
        if (echoOff.isTerminal()) {
            std::fputs(prompt, stderr);
            std::fflush(stderr);
        }
        int c = 0;
        while ((c = std::fgetc(stdin)) != EOF && c != '\n')
            line.push_back(static_cast<char>(c));
        if (c == EOF && line.empty())
            return false;
    }
    secret = SupportCommand::secretFromFile(QByteArray::fromStdString(line));
    return true;
}

bool readSecretFile(const QString& path, QString& secret)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    // A secret is one short line; a huge file is a mistake, not a secret.
    secret = SupportCommand::secretFromFile(file.read(4096));
    return true;
}

// Fills the secrets the command needs from the files named or by asking.
bool gatherSecrets(const SupportInvocation& invocation, SupportCommand::Secrets& secrets)
{
    if (!invocation.passwordFile.isEmpty() && !readSecretFile(invocation.passwordFile, secrets.password))
        return false;
    if (!invocation.accessKeyFile.isEmpty() && !readSecretFile(invocation.accessKeyFile, secrets.accessKey))
        return false;
    if (!invocation.pinFile.isEmpty() && !readSecretFile(invocation.pinFile, secrets.pin))
        return false;
    if (invocation.pinGiven) {
        // Any user of the machine can read another's command line (ps, /proc).
        fail(QStringLiteral("warning: --pin puts the PIN on the command line, where other users of this "
                            "machine can read it; use --pin-file F, or let corvanectl ask for it"));
        secrets.pin = invocation.pin;
    }
    if (SupportCommand::needsPasswordPrompt(invocation) && !promptSecret("Password: ", secrets.password)) {
        fail(QStringLiteral("no password given"));
        return false;
    }
    if (SupportCommand::needsPinPrompt(invocation)) {
        if (!promptSecret("PIN: ", secrets.pin)) {
            fail(QStringLiteral("no PIN given"));
            return false;
        }
        if (SupportCommand::pinIsNew(invocation) && stdinIsTerminal()) {
            QString again;
            if (!promptSecret("PIN again: ", again) || again != secrets.pin) {
                fail(QStringLiteral("the two PINs differ"));
                return false;
            }
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvanectl"));

    SupportInvocation invocation;
    QString error;
    if (!SupportCommand::parseArguments(QCoreApplication::arguments().mid(1), invocation, error)) {
        fail(error);
        std::fputs(SupportCommand::usage().toUtf8().constData(), stderr);
        return SupportCommand::Usage;
    }
    if (invocation.help) {
        std::fputs(SupportCommand::manual().toUtf8().constData(), stdout);
        return SupportCommand::Ok;
    }
    const QHostAddress host(invocation.host);
    if (host.isNull()) {
        fail(QStringLiteral("--host takes an IP address"));
        return SupportCommand::Usage;
    }
    SupportCommand::Secrets secrets;
    if (!gatherSecrets(invocation, secrets))
        return SupportCommand::Usage;
    SupportCommand command;
    if (!SupportCommand::fromWords(invocation.words, command, error, secrets, invocation.json)) {
        fail(error);
        std::fputs(SupportCommand::usage().toUtf8().constData(), stderr);
        return SupportCommand::Usage;
    }
    const QJsonDocument::JsonFormat format =
        invocation.pretty ? QJsonDocument::Indented : QJsonDocument::Compact;
    const int timeoutMs = invocation.timeoutMs;

    QTcpSocket socket;
    socket.connectToHost(host, invocation.port);
    if (!socket.waitForConnected(timeoutMs)) {
        fail(QStringLiteral("cannot connect to %1:%2: %3")
                 .arg(host.toString())
                 .arg(invocation.port)
                 .arg(socket.errorString()));
        return SupportCommand::Unreachable;
    }
    // Whatever holds the port gets the secrets: it must be the agent. Checked
    // once connected, so that the listener checked is the one reached.
    if (command.carriesSecret()) {
        const ListenerOwner::Verdict owner = ListenerOwner::check(host, invocation.port);
        if (!owner.trusted) {
            fail(QStringLiteral("not sending the PIN or password: the program on %1:%2 is not the agent (%3)")
                     .arg(host.toString())
                     .arg(invocation.port)
                     .arg(owner.reason));
            return SupportCommand::Unreachable;
        }
    }

    FrameReader reader;
    // What "status" gathers for its summary.
    QList<QJsonObject> gathered;
    bool greeted = false;
    bool finished = false;
    const auto finish = [&finished](int code) {
        if (finished)
            return;
        finished = true;
        QCoreApplication::exit(code);
    };

    // Each step gets the whole timeout for its answers.
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &application, [&] {
        fail(greeted ? QStringLiteral("no complete reply within %1 ms").arg(timeoutMs)
                     : QStringLiteral("the agent did not answer the greeting within %1 ms").arg(timeoutMs));
        finish(SupportCommand::Unreachable);
    });
    QTimer listening;
    listening.setSingleShot(true);
    QObject::connect(&listening, &QTimer::timeout, &application, [&] { finish(SupportCommand::Ok); });
    const auto sendNext = [&] {
        for (const QJsonObject& request : command.nextMessages())
            socket.write(ControlFrame::encode(request));
        deadline.start(timeoutMs);
    };

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
                if (message.value(PayloadKeys::Info).toString() != QLatin1String(MessageNames::HelloAgent))
                    continue;
                greeted = true;
                if (command.listenSeconds > 0) {
                    deadline.stop();
                    listening.start(command.listenSeconds * 1000);
                } else {
                    sendNext();
                    if (command.done())
                        finish(SupportCommand::Ok);
                }
                continue;
            }
            bool print = false;
            const SupportCommand::Progress progress = command.accept(message, print);
            if (command.summary)
                gathered.append(message);
            else if (print)
                printLine(stdout, QJsonDocument(message).toJson(format).trimmed());
            switch (progress) {
            case SupportCommand::Progress::Waiting:
                break;
            case SupportCommand::Progress::Next:
                sendNext();
                break;
            case SupportCommand::Progress::Refused:
                fail(QStringLiteral("refused: %1").arg(command.refusal()));
                finish(SupportCommand::exitCode(progress));
                break;
            case SupportCommand::Progress::Finished:
                if (command.summary) {
                    const QDateTime now = QDateTime::currentDateTime();
                    std::fputs(SupportCommand::statusSummary(gathered, now.toMSecsSinceEpoch(),
                                                             now.offsetFromUtc(), !secrets.pin.isEmpty())
                                   .toUtf8()
                                   .constData(),
                               stdout);
                }
                finish(SupportCommand::exitCode(progress));
                break;
            }
        }
    });
    QObject::connect(&socket, &QTcpSocket::disconnected, &application, [&] {
        if (finished)
            return;
        fail(QStringLiteral("the agent closed the connection"));
        finish(command.listenSeconds > 0 && greeted ? SupportCommand::Ok : SupportCommand::Unreachable);
    });

    socket.write(ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::HelloSupport))));
    deadline.start(timeoutMs);
    return application.exec();
}
