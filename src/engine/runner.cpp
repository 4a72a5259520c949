#include "engine/oxbell.h"

// Placeholder until the script runner lands.
void Oxbell::runScript(QByteArray, bool) {}
void Oxbell::cancelRun() {}
void Oxbell::initFinished(int, QProcess::ExitStatus) {}
void Oxbell::scriptFinished(int, QProcess::ExitStatus) {}
void Oxbell::initError(QProcess::ProcessError) {}
void Oxbell::scriptError(QProcess::ProcessError) {}
void Oxbell::readMessages() {}
void Oxbell::checkStandardError() {}
