#include "gui/MessageHandler.h"

#include "logging/LogFile.h"

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    LogFile::instance().log(type, context.category, message);
}
