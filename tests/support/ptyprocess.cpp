#include "support/ptyprocess.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {
constexpr int pollSliceMs = 50;

// argv and envp for execve, kept alive by the caller until the exec.
struct ExecArguments {
    std::vector<QByteArray> storage;
    std::vector<char*> argv;
    std::vector<char*> envp;

    ExecArguments(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment)
    {
        storage.push_back(QFile::encodeName(program));
        for (const QString& argument : arguments)
            storage.push_back(argument.toLocal8Bit());
        const std::size_t argumentCount = storage.size();
        for (const QString& entry : environment.toStringList())
            storage.push_back(entry.toLocal8Bit());
        for (std::size_t i = 0; i < storage.size(); ++i)
            (i < argumentCount ? argv : envp).push_back(storage[i].data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
    }
};

// Polls waitpid until the child ends or the time is up; `whileWaiting` runs between polls.
template <typename Work> int waitForChild(pid_t pid, int timeoutMs, rusage* usage, Work whileWaiting)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        int status = 0;
        if (wait4(pid, &status, WNOHANG, usage) == pid)
            return status;
        if (clock.elapsed() > timeoutMs)
            return -1;
        whileWaiting();
    }
}
}

PtyProcess::~PtyProcess()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (master >= 0)
        close(master);
}

bool PtyProcess::start(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment)
{
    ExecArguments exec(program, arguments, environment);
    pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execve(exec.argv[0], exec.argv.data(), exec.envp.data());
        _exit(127);
    }
    return pid > 0;
}

bool PtyProcess::readSome(int timeoutMs)
{
    pollfd descriptor{master, POLLIN, 0};
    if (poll(&descriptor, 1, timeoutMs) <= 0)
        return true;
    char buffer[4096];
    const ssize_t count = read(master, buffer, sizeof buffer);
    if (count <= 0)
        return count < 0 && errno == EINTR;
    shown.append(buffer, int(count));
    return true;
}

bool PtyProcess::waitFor(const QByteArray& text, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int found = shown.indexOf(text, consumed);
        if (found >= 0) {
            const int end = found + text.size();
            stretch = shown.mid(consumed, end - consumed);
            consumed = end;
            return true;
        }
        if (clock.elapsed() > timeoutMs || !readSome(pollSliceMs))
            return false;
    }
}

void PtyProcess::type(const QByteArray& keys)
{
    for (int written = 0; written < keys.size();) {
        const ssize_t count = write(master, keys.constData() + written, size_t(keys.size() - written));
        if (count <= 0)
            return;
        written += int(count);
    }
}

termios PtyProcess::attributes() const
{
    termios mode = {};
    tcgetattr(master, &mode);
    return mode;
}

int PtyProcess::waitForExit(int timeoutMs)
{
    const int status = waitForChild(pid, timeoutMs, nullptr, [this] { readSome(pollSliceMs); });
    if (status != -1)
        pid = -1;
    return status;
}

int runPiped(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment,
             const QString& inputFile, const QString& outputFile, long* peakKiB)
{
    constexpr int pipedTimeoutMs = 600000;
    ExecArguments exec(program, arguments, environment);
    const QByteArray input = QFile::encodeName(inputFile);
    const QByteArray output = QFile::encodeName(outputFile);
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(input.constData(), O_RDONLY);
        const int out = open(output.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0
            || dup2(out, STDERR_FILENO) < 0)
            _exit(127);
        execve(exec.argv[0], exec.argv.data(), exec.envp.data());
        _exit(127);
    }
    if (pid < 0)
        return -1;
    rusage usage = {};
    const int status = waitForChild(pid, pipedTimeoutMs, &usage, [] { usleep(pollSliceMs * 1000); });
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    *peakKiB = usage.ru_maxrss;
    return status;
}
