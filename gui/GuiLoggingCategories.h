#pragma once

#include <QLoggingCategory>

// Every logging category of the tray program. They live in their own
// namespace so that they never collide with the agent's accessors of the
// same spelling in a process that links both.
namespace GuiLog {
Q_DECLARE_LOGGING_CATEGORY(socket)
Q_DECLARE_LOGGING_CATEGORY(socketGet)
Q_DECLARE_LOGGING_CATEGORY(gui)
Q_DECLARE_LOGGING_CATEGORY(tray)
Q_DECLARE_LOGGING_CATEGORY(checkerActivation)
Q_DECLARE_LOGGING_CATEGORY(constData)
Q_DECLARE_LOGGING_CATEGORY(authorization)
Q_DECLARE_LOGGING_CATEGORY(authLogin)
Q_DECLARE_LOGGING_CATEGORY(authToken)
Q_DECLARE_LOGGING_CATEGORY(masterPass)
Q_DECLARE_LOGGING_CATEGORY(personalArea)
Q_DECLARE_LOGGING_CATEGORY(checkerVersion)
Q_DECLARE_LOGGING_CATEGORY(alert)
} // namespace GuiLog
