// Shared by the libFuzzer targets.
#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

#include <cstdlib>

// Millions of inputs go through code that logs, and each line would be
// formatted and written to standard error (a log file of gigabytes and most
// of the time of a run). Every category is switched off where it is checked,
// so no line is even formatted; what still reaches the handler (uncategorised
// messages) is dropped, except a fatal one, which aborts so that libFuzzer
// reports it with the input.
inline void quietQtLogging()
{
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString&) {
        if (type == QtFatalMsg)
            abort();
    });
}

// One read of a stream cut into pieces of `step` bytes, without a copy: the
// readers copy what they keep, and an allocation for every piece (up to one
// per input byte) was most of the time of a run.
inline QByteArray streamPiece(const QByteArray& stream, int offset, int step)
{
    return QByteArray::fromRawData(stream.constData() + offset, qMin(step, stream.size() - offset));
}
