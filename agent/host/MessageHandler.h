#pragma once

#include <QString>
#include <QtGlobal>

// The agent's Qt message handler: one log line per message. Debug lines are
// written only while the logging switch is on.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);
