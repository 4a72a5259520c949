#pragma once

#include <QtGlobal>

class QTextStream;
class QString;

// The open log, or null when the log file could not be opened.
extern QTextStream* logStream;

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// "<documents>/oxbell.log".
QString logFilePath();

// Opens "<documents>/oxbell.log" for appending and routes every Qt message into it.
void openLog();

// Stops routing messages into the log before the stream goes away.
void closeLog();
