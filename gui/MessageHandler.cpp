#include "MessageHandler.h"

#include "LogLine.h"
#include "Logging.h"

#include <QDateTime>

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    Logging::writeToLog(LogLine::format(QDateTime::currentDateTime(), type, context.category, message));
}
