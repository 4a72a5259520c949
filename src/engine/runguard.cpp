#include "engine/runguard.h"

#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <cstdlib>
#include <mutex>

#ifndef Q_OS_WIN
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace runguard {

namespace {

constexpr int stopPollMs = 10;

// The run that the exit and signal paths clean up. Never destroyed: exit() runs the cleanup
// after static objects may already be gone.
struct Remembered {
    std::mutex lock;
    qint64 group = 0;
    QString folder;
};

Remembered& remembered()
{
    static auto* const run = new Remembered;
    return *run;
}

// With the lock held.
void cleanUp(Remembered& run)
{
    if (run.group > 0)
        stopGroup(run.group);
    if (!run.folder.isEmpty())
        QDir(run.folder).removeRecursively();
    run.group = 0;
    run.folder.clear();
}

#ifndef Q_OS_WIN

constexpr int guardedSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
int signalPipe[2] = {-1, -1};
std::atomic<int> pendingSignal{0};

// A process still running (not a zombie) in `group`. Zombies are left out: an orphan that the
// system has not yet collected cannot be stopped and holds nothing.
bool groupAlive(pid_t group)
{
#ifdef Q_OS_LINUX
    DIR* const processes = opendir("/proc");
    if (processes) {
        bool alive = false;
        while (const dirent* entry = readdir(processes)) {
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
                continue;
            char path[sizeof "/proc//stat" + sizeof entry->d_name];
            std::snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
            const int file = open(path, O_RDONLY | O_CLOEXEC);
            if (file < 0)
                continue;
            char stat[512];
            const ssize_t size = read(file, stat, sizeof stat - 1);
            close(file);
            if (size <= 0)
                continue;
            stat[size] = '\0';
            // "pid (command) state ppid pgrp ...": the command may hold anything but ends at the last ')'.
            const char* const afterCommand = std::strrchr(stat, ')');
            char state = 0;
            long ppid = 0;
            long processGroup = 0;
            if (afterCommand && std::sscanf(afterCommand + 1, " %c %ld %ld", &state, &ppid, &processGroup) == 3
                && processGroup == group && state != 'Z' && state != 'X') {
                alive = true;
                break;
            }
        }
        closedir(processes);
        return alive;
    }
#endif
    return killpg(group, 0) == 0;
}

extern "C" void onGuardedSignal(int signalNumber)
{
    const int savedErrno = errno;
    pendingSignal.store(signalNumber);
    const auto byte = static_cast<unsigned char>(signalNumber);
    if (write(signalPipe[1], &byte, 1) < 0) {
        // Nothing more can be done inside a handler; the exit path still sees pendingSignal.
    }
    errno = savedErrno;
}

[[noreturn]] void endBySignal(int signalNumber)
{
    std::signal(signalNumber, SIG_DFL);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(signalNumber);
    // A signal whose default action does not end the process cannot get here: only ending
    // signals are guarded.
    std::_Exit(128 + signalNumber);
}

// Runs on a thread of its own, so the cleanup happens whatever the main thread does: the event
// loop, a modal dialog, or a console prompt blocked in a read.
void watchSignals()
{
    unsigned char signalNumber = 0;
    while (read(signalPipe[0], &signalNumber, 1) < 0 && errno == EINTR) { }
    Remembered& run = remembered();
    // Held until the end: a main thread on its way out waits here rather than exit first.
    run.lock.lock();
    cleanUp(run);
    endBySignal(signalNumber);
}

void cleanUpAtExit()
{
    Remembered& run = remembered();
    const std::lock_guard<std::mutex> hold(run.lock);
    cleanUp(run);
    // A signal that arrived while the client was already ending still ends it as a signal.
    if (const int signalNumber = pendingSignal.load())
        endBySignal(signalNumber);
}

#else

void cleanUpAtExit()
{
    Remembered& run = remembered();
    const std::lock_guard<std::mutex> hold(run.lock);
    cleanUp(run);
}

#endif

} // namespace

void install()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    std::atexit(cleanUpAtExit);
#ifndef Q_OS_WIN
    if (pipe2(signalPipe, O_CLOEXEC) != 0)
        return;
    // The watcher takes no signal itself; the handlers run on whichever thread the system picks.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    std::thread(watchSignals).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    for (const int signalNumber : guardedSignals) {
        struct sigaction current = {};
        sigaction(signalNumber, nullptr, &current);
        if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL)
            continue;
        struct sigaction action = {};
        action.sa_handler = onGuardedSignal;
        sigemptyset(&action.sa_mask);
        // A console prompt blocked in a read goes on waiting while the watcher cleans up.
        action.sa_flags = SA_RESTART;
        sigaction(signalNumber, &action, nullptr);
    }
#endif
}

void restoreDefaultSignals()
{
#ifndef Q_OS_WIN
    for (const int signalNumber : guardedSignals) {
        struct sigaction current = {};
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == onGuardedSignal) {
            struct sigaction byDefault = {};
            byDefault.sa_handler = SIG_DFL;
            sigaction(signalNumber, &byDefault, nullptr);
        }
    }
#endif
}

void remember(qint64 group, const QString& folder)
{
    Remembered& run = remembered();
    const std::lock_guard<std::mutex> hold(run.lock);
    run.group = group;
    run.folder = folder;
}

void forget(qint64 group)
{
    Remembered& run = remembered();
    const std::lock_guard<std::mutex> hold(run.lock);
    if (run.group != group)
        return;
    run.group = 0;
    run.folder.clear();
}

void stopGroup(qint64 group)
{
#ifndef Q_OS_WIN
    if (group <= 0 || killpg(pid_t(group), SIGTERM) != 0)
        return;
    QElapsedTimer clock;
    clock.start();
    while (groupAlive(pid_t(group))) {
        if (clock.hasExpired(stopGraceMs)) {
            killpg(pid_t(group), SIGKILL);
            // SIGKILL cannot be refused; only a process stuck in the kernel takes a moment.
            while (groupAlive(pid_t(group)) && !clock.hasExpired(2 * stopGraceMs))
                QThread::msleep(stopPollMs);
            return;
        }
        QThread::msleep(stopPollMs);
    }
#else
    Q_UNUSED(group)
#endif
}

}
