#pragma once

#include "support/processrun.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A user account of its own for runs of the oxbell executable: home, documents and configuration
// lie in a temporary directory, and the course server is a closed loopback port, so a run never
// touches the developer's files and fails fast where it would reach a server.
class AppHome {
public:
    AppHome();

    bool isValid() const { return valid; }
    QString path() const { return directory.path(); }
    QString configDir() const;
    QString logPath() const;
    // The lines of the log; empty when there is none.
    QStringList logLines() const;
    QProcessEnvironment environment() const;

    // Runs the program until it ends, or, with `stopAtLog`, until a log line contains that text.
    ProcessOutcome run(const QStringList& arguments, const QString& stopAtLog = {}) const;

private:
    QTemporaryDir directory;
    bool valid = false;
};
