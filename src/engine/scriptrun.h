#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

class ChildProcess;

// One run of a problem script, from its start to its end: the interpreter, the process group it
// leads (on Windows the job object that holds it), the private folder that holds the script, the
// time limit, what the script writes to standard error and the reading of its message lines. It
// reports through its signals and falls silent once it has ended or been stopped, so whoever holds
// it hears of one run only.
//
// A run that ends cleanly (exit code 0, nothing on standard error) leaves whatever the script
// started running; every other end stops the whole group, as does stop() and the run's
// destruction while it runs. The folder goes in every case.
class ScriptRun : public QObject {
    Q_OBJECT

public:
    explicit ScriptRun(bool init, QObject* parent = nullptr);
    ~ScriptRun() override;

    ScriptRun(const ScriptRun&) = delete;
    ScriptRun& operator=(const ScriptRun&) = delete;

    // The child's bytes as UTF-8 text; a NUL byte ends the text.
    static QString textUpToNul(const QByteArray& bytes);

    bool isInit() const { return init; }
    // The interpreter's process id, 0 before the start.
    qint64 processId() const;
    // The script's file in the run's folder.
    QString scriptPath() const;

    // Writes the script, with the import line in front unless it is a zip archive. False, with
    // the reason, when it could not be written whole.
    bool writeScript(const QByteArray& script, QString* error);
    // Starts the interpreter on the script, writes `input` to its standard input and closes it.
    // limitSeconds > 0: the run is stopped after that long. The run may have ended (a start that
    // failed at once) when this returns.
    void start(const QString& interpreter, const QString& workingDirectory, const QProcessEnvironment& environment,
               const QByteArray& input, double limitSeconds);
    // Ends the run at once: its group stopped, the interpreter collected, the folder removed.
    // Nothing is reported, then or later.
    void stop();

signals:
    // One line of the script's standard output that is a JSON document (`message` its object, an
    // empty one for an array), and the line itself.
    void messageReceived(const QJsonObject& message, const QByteArray& line);
    // A line that is not JSON, or longer than Oxbell::maxMessageLineBytes: the run has been stopped.
    // `reason` says why, `line` is (the start of) the line.
    void malformedLine(const QString& reason, const QByteArray& line);
    // The interpreter has ended and wrote text to standard error: its first
    // Oxbell::maxStandardErrorBytes, and how many bytes more there were. Comes before the
    // messages still waiting and before ended.
    void standardErrorWritten(const QString& text, qint64 bytesBeyond);
    // The interpreter has ended and every message line has been reported; `clean`: exit code 0
    // and nothing on standard error.
    void ended(bool clean);
    // The run was stopped without an end of its own: the interpreter did not start, crashed, its
    // pipes failed, or the time limit passed. `reason` says which.
    void failed(const QString& reason);

private:
    void readMessages();
    void endMalformed(const QString& reason, const QByteArray& line);
    void keepStandardError();
    void interpreterEnded(int exitCode);
    void processFailed(QProcess::ProcessError error);
    void timeLimitPassed(double seconds);
    // Stops the group, collects the interpreter unless the toolkit already has, removes the folder.
    void stopProcesses(bool interpreterCollected);
    // Removes the folder and lets the guard forget the run. processesStay: what the script
    // started is let go rather than already stopped.
    void release(bool processesStay);

    const bool init;
    ChildProcess* process;
    QTemporaryDir folder;
    QTimer timeLimit;
    qint64 group = 0;
#ifdef Q_OS_WIN
    // The job object that holds the interpreter and everything it starts.
    void* job = nullptr;
#endif
    QByteArray standardErrorHead;
    qint64 standardErrorBeyond = 0;
    // The run has ended or been stopped: nothing more is reported.
    bool done = false;
    // Its processes are stopped or let go, its folder removed.
    bool settled = false;
    // Inside the toolkit's start: a failure it reports is handled once the start has returned.
    bool starting = false;
    int failureAtStart = -1;
};
