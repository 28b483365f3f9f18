#include "devservice/DevService.h"
#include "devservice/DevServiceLog.h"
#include "devservice/DnsWire.h"
#include "devservice/QueryTool.h"
#include "devservice/ServiceConfig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here: wake the event loop.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

void installQuitOnSignals(QCoreApplication& app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
        qCInfo(lcDevService) << "stopping on signal";
        app.quit();
    });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}
} // namespace

int main(int argc, char* argv[])
{
    qSetMessagePattern(
        QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} | %{if-debug}DBG%{endif}%{if-info}INF%{endif}"
                       "%{if-warning}WRN%{endif}%{if-critical}CRT%{endif}%{if-fatal}FTL%{endif} | "
                       "%{category}: %{message}"));
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-devservice"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Corvane development filtering service"));
    parser.addHelpOption();
    const QCommandLineOption configOption(QStringLiteral("config"),
                                          QStringLiteral("JSON configuration file."), QStringLiteral("file"),
                                          QStringLiteral(CORVANE_DEVSERVICE_DEFAULT_CONFIG));
    const QCommandLineOption tlsOption(QStringLiteral("tls-dir"),
                                       QStringLiteral("Directory with certificates and keys."),
                                       QStringLiteral("dir"));
    const QCommandLineOption upstreamOption(QStringLiteral("upstream"),
                                            QStringLiteral("Upstream resolver address[:port]."),
                                            QStringLiteral("address"));
    const QCommandLineOption queryOption(
        QStringLiteral("query"),
        QStringLiteral("Client mode: send one UDP query for this name and print the answer."),
        QStringLiteral("name"));
    const QCommandLineOption typeOption(QStringLiteral("type"),
                                        QStringLiteral("Query type for --query (A, AAAA, TXT, ...)."),
                                        QStringLiteral("type"), QStringLiteral("A"));
    const QCommandLineOption serverOption(QStringLiteral("server"), QStringLiteral("Server for --query."),
                                          QStringLiteral("address"), QStringLiteral("127.53.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port for --query."),
                                        QStringLiteral("port"), QStringLiteral("53"));
    const QCommandLineOption tokenOption(
        QStringLiteral("token"),
        QStringLiteral("Mark the --query with an identity record carrying this token."),
        QStringLiteral("token"));
    const QCommandLineOption makeQueryOption(
        QStringLiteral("make-query"),
        QStringLiteral("Write one binary DNS query for this name to standard output."),
        QStringLiteral("name"));
    const QCommandLineOption describeOption(
        QStringLiteral("describe"),
        QStringLiteral("Read one binary DNS message from standard input and print it."));
    parser.addOptions({configOption, tlsOption, upstreamOption, queryOption, typeOption, serverOption,
                       portOption, tokenOption, makeQueryOption, describeOption});
    parser.process(app);

    QTextStream out(stdout);
    if (parser.isSet(describeOption)) {
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) {
            return 1;
        }
        const QStringList lines = QueryTool::describe(in.read(65536));
        for (const QString& line : lines) {
            out << line << '\n';
        }
        return lines.value(0).startsWith(QLatin1String("error")) ? 3 : 0;
    }
    if (parser.isSet(queryOption) || parser.isSet(makeQueryOption)) {
        QueryTool::Options options;
        options.name = parser.isSet(queryOption) ? parser.value(queryOption) : parser.value(makeQueryOption);
        options.type = DnsWire::typeFromName(parser.value(typeOption));
        options.server = QHostAddress(parser.value(serverOption));
        bool portOk = false;
        options.port = static_cast<quint16>(parser.value(portOption).toUInt(&portOk));
        if (options.type == 0 || options.server.isNull() || !portOk) {
            out << "error: bad --type, --server or --port\n";
            return 1;
        }
        if (parser.isSet(tokenOption)) {
            bool ok = false;
            const qlonglong token = parser.value(tokenOption).toLongLong(&ok);
            if (!ok || token < -2147483648LL || token > 4294967295LL) {
                out << "error: --token must be a 32-bit number\n";
                return 1;
            }
            options.marked = true;
            options.token = static_cast<quint32>(token);
        }
        if (parser.isSet(makeQueryOption)) {
            QFile stdoutFile;
            if (!stdoutFile.open(stdout, QIODevice::WriteOnly)) {
                return 1;
            }
            stdoutFile.write(QueryTool::build(options, 0x4356));
            return 0;
        }
        QStringList lines;
        const int rc = QueryTool::run(options, lines);
        for (const QString& line : lines) {
            out << line << '\n';
        }
        return rc;
    }

    ServiceConfig config;
    QString error;
    if (!ServiceConfig::fromFile(parser.value(configOption), config, error)) {
        qCCritical(lcDevService).noquote() << "configuration:" << error;
        return 1;
    }
    if (parser.isSet(tlsOption)) {
        config.tlsDir = parser.value(tlsOption);
    } else if (config.tlsDir.isEmpty()) {
        config.tlsDir = QStringLiteral(CORVANE_DEVSERVICE_DEFAULT_TLS_DIR);
    }
    if (parser.isSet(upstreamOption)) {
        QJsonObject override{{QStringLiteral("resolver"),
                              QJsonObject{{QStringLiteral("upstream"), parser.value(upstreamOption)}}}};
        ServiceConfig probe = config;
        if (!ServiceConfig::fromJson(override, probe, error)) {
            qCCritical(lcDevService).noquote() << "--upstream:" << error;
            return 1;
        }
        config.upstreamAddress = probe.upstreamAddress;
        config.upstreamPort = probe.upstreamPort;
    }
    installQuitOnSignals(app);
    DevService service(config);
    if (!service.start(error)) {
        qCCritical(lcDevService).noquote() << "cannot start:" << error;
        return 1;
    }
    return app.exec();
}
