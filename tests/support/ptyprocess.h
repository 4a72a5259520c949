#pragma once

#include "support/timeouts.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>
#include <termios.h>

// A program run on a pseudo-terminal of its own, as a student would run it in a terminal window:
// the test types into it and reads what the terminal shows.
class PtyProcess {
public:
    PtyProcess() = default;
    ~PtyProcess();
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    bool start(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment);

    // Waits until the terminal has shown `text` after everything an earlier wait consumed, and
    // consumes the output up to its end. False (the output so far is in output()) on timeout or exit.
    bool waitFor(const QByteArray& text, int timeoutMs = defaultTimeoutMs);
    // What the terminal showed between the last two successful waits, `text` included.
    QByteArray lastStretch() const { return stretch; }
    QByteArray output() const { return shown; }
    void type(const QByteArray& keys);
    // The terminal's current attributes, as the program left them.
    termios attributes() const;

    // Waits for the program's end; the status as waitpid() gives it, or -1 on timeout.
    int waitForExit(int timeoutMs = defaultTimeoutMs);

    static constexpr int defaultTimeoutMs = testWaitMs;

private:
    // Reads what is available within `timeoutMs`; false at the end of the output.
    bool readSome(int timeoutMs);

    pid_t pid = -1;
    int master = -1;
    QByteArray shown;
    QByteArray stretch;
    int consumed = 0;
};
