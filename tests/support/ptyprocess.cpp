#include "support/ptyprocess.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pty.h>
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
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return status;
        }
        // Drained meanwhile, so that a program with much to say is not held up by a full terminal.
        readSome(pollSliceMs);
    }
    return -1;
}
