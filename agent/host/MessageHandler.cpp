#include "MessageHandler.h"

#include "LogLine.h"
#include "Logging.h"
#include "UserData.h"

#include <QDateTime>

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg && !UserData::getStatusLog())
        return;
    Logging::writeToLog(LogLine::format(QDateTime::currentDateTime(), type, context.category, message));
}
