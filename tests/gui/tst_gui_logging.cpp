#include "gui/Logging.h"
#include "gui/MessageHandler.h"
#include "logging/LogFile.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QtTest>

Q_LOGGING_CATEGORY(testCategory, "TESTCAT")

// The tray program's log: header, file named after the executable, every level.
class TestGuiLogging : public QObject
{
    Q_OBJECT
private slots:
    void headerText()
    {
        const QString header = Logging::headerText();
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^\\n----- START_GUI \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d -----\\n$"))
                     .match(header)
                     .hasMatch(),
                 qPrintable(header));
    }

    void fileNamedAfterTheExecutableWithEveryLevel()
    {
        QCOMPARE(Logging::logBaseName(), QStringLiteral("tst_gui_logging"));
        const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/log");
        const QString path = folder + QStringLiteral("/tst_gui_logging_") +
                             QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) +
                             QStringLiteral(".log");
        QDir(folder).removeRecursively();
        Logging::startHeaderLog();
        const QtMessageHandler previous = qInstallMessageHandler(messageHandler);
        qCDebug(testCategory) << "debug line";
        qCInfo(testCategory) << "info line";
        qCWarning(testCategory) << "warning line";
        qCCritical(testCategory) << "critical line";
        qInstallMessageHandler(previous);

#ifdef Q_OS_LINUX
        // The critical line went out in a batch of its own, and the batch
        // closed the file again: no descriptor of this process points at it.
        const QFileInfoList fds = QDir(QStringLiteral("/proc/self/fd"))
                                      .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        QVERIFY(!fds.isEmpty());
        for (const QFileInfo& fd : fds)
            QVERIFY2(fd.symLinkTarget() != path, qPrintable(fd.filePath()));
#endif
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(path));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        QCOMPARE(lines.value(0), QString());
        QVERIFY(lines.value(1).startsWith(QStringLiteral("----- START_GUI ")));
        const QStringList tags{QStringLiteral("DBG"), QStringLiteral("INF"), QStringLiteral("WRN"),
                               QStringLiteral("CRT")};
        const QStringList texts{QStringLiteral("debug line"), QStringLiteral("info line"),
                                QStringLiteral("warning line"), QStringLiteral("critical line")};
        for (int i = 0; i < 4; ++i) {
            const QString line = lines.value(2 + i);
            const QRegularExpression format(
                QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\| ") + tags.at(i) +
                QStringLiteral(" \\| TESTCAT: ") + texts.at(i) + QLatin1Char('$'));
            QVERIFY2(format.match(line).hasMatch(), qPrintable(line));
        }
    }
};

QTEST_GUILESS_MAIN(TestGuiLogging)
#include "tst_gui_logging.moc"
