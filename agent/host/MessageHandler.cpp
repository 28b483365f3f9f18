#include "host/MessageHandler.h"

#include "logging/LogFile.h"
#include "settings/UserData.h"

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg && !UserData::getStatusLog())
        return;
    LogFile::instance().log(type, context.category, message);
}
