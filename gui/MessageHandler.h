#pragma once

#include <QString>
#include <QtGlobal>

// The tray program's Qt message handler: every message of every level becomes
// one log line (the program has no logging switch of its own).
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);
