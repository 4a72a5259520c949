#include "engine/runguard.h"

#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

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
#else
#include <windows.h>
#endif

namespace runguard {

namespace {

constexpr int stopPollMs = 10;

struct LiveRun {
    const void* run;
    qint64 group;
    QString folder;
};

// The runs that the exit and signal paths clean up. Never destroyed: exit() runs the cleanup
// after static objects may already be gone.
struct Remembered {
    std::mutex lock;
    std::vector<LiveRun> runs;
};

Remembered& remembered()
{
    static auto* const live = new Remembered;
    return *live;
}

// With the lock held.
void cleanUp(Remembered& live)
{
    for (const LiveRun& run : live.runs) {
        if (run.group > 0)
            stopGroup(run.group);
        if (!run.folder.isEmpty())
            QDir(run.folder).removeRecursively();
    }
    live.runs.clear();
}

#ifndef Q_OS_WIN

// The signals whose ending the client turns into a cleanup of its runs.
constexpr int guardedSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
int signalPipe[2] = {-1, -1};
std::atomic<int> pendingSignal{0};
pid_t clientId = 0;
std::atomic<void (*)()> restorer{nullptr};
// Per signal: the guard cleans up on it (a guarded signal), or passes it on after the restorer.
bool cleansUp[NSIG];
bool passesOn[NSIG];
struct sigaction previousActions[NSIG];
// The calling thread's mask before ChildCreation: what a new child goes back to.
sigset_t maskBeforeChild;

// Signals whose default action ends the process (SIGKILL and SIGSTOP cannot be caught).
std::vector<int> endingSignals()
{
    std::vector<int> numbers{SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,
                             SIGFPE,  SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM,   SIGTERM,
                             SIGXCPU, SIGXFSZ, SIGPROF, SIGIO,   SIGPWR,  SIGVTALRM, SIGSYS};
    for (int realTime = SIGRTMIN; realTime <= SIGRTMAX; ++realTime)
        numbers.push_back(realTime);
    return numbers;
}

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

void raiseByDefault(int signalNumber)
{
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

extern "C" void onSignal(int signalNumber, siginfo_t* info, void* context)
{
    const int savedErrno = errno;
    if (getpid() != clientId) {
        // A child of the client before its exec: the signal is the child's alone, and ends it once
        // this handler returns.
        raiseByDefault(signalNumber);
        errno = savedErrno;
        return;
    }
    if (void (*const restore)() = restorer.load())
        restore();
    if (cleansUp[signalNumber]) {
        pendingSignal.store(signalNumber);
        const auto byte = static_cast<unsigned char>(signalNumber);
        if (write(signalPipe[1], &byte, 1) < 0) {
            // Nothing more can be done inside a handler; the exit path still sees pendingSignal.
        }
    } else {
        // What the signal did before the restorer was set: the handler in place, or the default
        // action once this handler returns.
        const struct sigaction& previous = previousActions[signalNumber];
        if (previous.sa_flags & SA_SIGINFO)
            previous.sa_sigaction(signalNumber, info, context);
        else if (previous.sa_handler != SIG_DFL)
            previous.sa_handler(signalNumber);
        else
            raiseByDefault(signalNumber);
    }
    errno = savedErrno;
}

void handle(int signalNumber)
{
    if (clientId == 0)
        clientId = getpid();
    struct sigaction action = {};
    action.sa_sigaction = onSignal;
    sigemptyset(&action.sa_mask);
    // A console prompt blocked in a read goes on waiting while the watcher cleans up, or after a
    // handler passed on to has returned.
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
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
    Remembered& live = remembered();
    // Held until the end: a main thread on its way out waits here rather than exit first.
    live.lock.lock();
    cleanUp(live);
    endBySignal(signalNumber);
}

void cleanUpAtExit()
{
    Remembered& live = remembered();
    const std::lock_guard<std::mutex> hold(live.lock);
    cleanUp(live);
    // A signal that arrived while the client was already ending still ends it as a signal.
    if (const int signalNumber = pendingSignal.load())
        endBySignal(signalNumber);
}

#else

// What a process that the guard stops ends with.
constexpr UINT stoppedExitCode = 1;
std::atomic<void (*)()> restorer{nullptr};

// On a thread that the system starts for the console's event, whatever the main thread is doing.
BOOL WINAPI onConsoleEvent(DWORD)
{
    if (void (*const restore)() = restorer.load())
        restore();
    Remembered& live = remembered();
    {
        const std::lock_guard<std::mutex> hold(live.lock);
        cleanUp(live);
    }
    // The next handler, in the end the system's own, ends the client as it would have without this.
    return FALSE;
}

void cleanUpAtExit()
{
    Remembered& live = remembered();
    const std::lock_guard<std::mutex> hold(live.lock);
    cleanUp(live);
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
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
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
        cleansUp[signalNumber] = true;
        handle(signalNumber);
    }
#endif
}

void setRestorer(void (*restore)())
{
#ifndef Q_OS_WIN
    if (restore && !restorer.load()) {
        restorer.store(restore);
        for (const int signalNumber : endingSignals()) {
            if (cleansUp[signalNumber])
                continue;
            sigaction(signalNumber, nullptr, &previousActions[signalNumber]);
            // An ignored signal does not end the program, and must not start to.
            const struct sigaction& previous = previousActions[signalNumber];
            passesOn[signalNumber] = (previous.sa_flags & SA_SIGINFO) || previous.sa_handler != SIG_IGN;
            if (passesOn[signalNumber])
                handle(signalNumber);
        }
    } else if (!restore && restorer.load()) {
        for (const int signalNumber : endingSignals()) {
            if (passesOn[signalNumber])
                sigaction(signalNumber, &previousActions[signalNumber], nullptr);
            passesOn[signalNumber] = false;
        }
        restorer.store(nullptr);
    }
#else
    restorer.store(restore);
#endif
}

ChildCreation::ChildCreation()
{
#ifndef Q_OS_WIN
    sigset_t guarded;
    sigemptyset(&guarded);
    for (const int signalNumber : guardedSignals)
        sigaddset(&guarded, signalNumber);
    pthread_sigmask(SIG_BLOCK, &guarded, &maskBeforeChild);
#endif
}

ChildCreation::~ChildCreation()
{
#ifndef Q_OS_WIN
    pthread_sigmask(SIG_SETMASK, &maskBeforeChild, nullptr);
#endif
}

void prepareChild()
{
#ifndef Q_OS_WIN
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (cleansUp[signalNumber] || passesOn[signalNumber])
            sigaction(signalNumber, &byDefault, nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &maskBeforeChild, nullptr);
#endif
}

void remember(const void* run, qint64 group, const QString& folder)
{
    Remembered& live = remembered();
    const std::lock_guard<std::mutex> hold(live.lock);
    for (LiveRun& known : live.runs) {
        if (known.run == run) {
            known.group = group;
            known.folder = folder;
            return;
        }
    }
    live.runs.push_back({run, group, folder});
}

void forget(const void* run)
{
    Remembered& live = remembered();
    const std::lock_guard<std::mutex> hold(live.lock);
    const auto known
        = std::find_if(live.runs.begin(), live.runs.end(), [run](const LiveRun& one) { return one.run == run; });
    if (known == live.runs.end())
        return;
    if (!known->folder.isEmpty())
        QDir(known->folder).removeRecursively();
    live.runs.erase(known);
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
    const auto job = reinterpret_cast<HANDLE>(quintptr(group));
    if (group == 0 || !TerminateJobObject(job, stoppedExitCode))
        return;
    // The processes end on their own threads; the job counts them until the last is gone.
    QElapsedTimer clock;
    clock.start();
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    while (QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr)
           && accounting.ActiveProcesses > 0 && !clock.hasExpired(2 * stopGraceMs))
        QThread::msleep(stopPollMs);
#endif
}

}
