#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

#ifdef Q_OS_WIN
#include "support/hostprocess.h"
using ServerProcess = HostProcess;
#else
using ServerProcess = QProcess;
#endif

// The practice course server (<application directory>/oxbell-server) run for a test: real TLS on
// 127.0.0.1, a port of its own, and a fresh database holding the two demo accounts.
//
//     PracticeServer server;
//     QVERIFY2(server.start(), qPrintable(server.errorString()));
//     PracticeServer::writeAppSettings(configDir + "/oxbell", server.url());
class PracticeServer {
public:
    // Which certificate chain the server sends.
    enum class Chain {
        Normal, // leaf for localhost + our intermediate: accepted through the client's CA file
        OtherCa, // leaf + root of an unrelated CA: refused
        WrongHost, // our intermediate, leaf for another host name: refused
        OutsideName, // our intermediate, leaf for localhost and a name outside its constraints: refused
    };

    struct Options {
        QString courseDir; // empty: the demo course of the build tree
        Chain chain = Chain::Normal;
        bool faults = false; // accept injectFault()
        QStringList extraArguments; // appended to "serve ...", e.g. {"--client-version", "2.1"}
    };

    enum class FaultKind { Status, BadJson, BadDecrypt, Delay, Drop, DropAfter, DropBefore };

    // The next `count` requests whose path matches `path` (exact, or a prefix ending in '*' such as
    // "/download/*") fail: Status answers `status` with `body` as plain text; BadJson answers 200
    // with a (decrypted) body that is not JSON; BadDecrypt answers 200 with a body that no key
    // decrypts; Delay serves the request after `delayMs`; Drop closes the connection mid-reply;
    // DropAfter carries the request out, then closes the connection before any byte of the reply;
    // DropBefore closes it without carrying the request out. Apart from Delay and DropAfter, the
    // request itself is not carried out.
    struct Fault {
        QString path;
        FaultKind kind = FaultKind::Status;
        int count = 1;
        int status = 500;
        QString body;
        int delayMs = 0;
    };

    // The demo accounts (the build's names).
    static const QString studentEmail;
    static const QString studentPassword;
    static const QString headlessEmail;
    static const QString headlessPassword;

    static QString demoCourseDir();
    static QString executable();

    PracticeServer();
    ~PracticeServer();
    PracticeServer(const PracticeServer&) = delete;
    PracticeServer& operator=(const PracticeServer&) = delete;

    // Starts on a fresh database and waits until it listens; false (see errorString()) otherwise.
    bool start();
    bool start(const Options& options);
    // Stops, then starts again with the same options on the same database and port: grades
    // persist, sessions do not.
    bool restart();
    // SIGTERM, then waits; true when the server ended with exit status 0.
    bool stop();

    bool isRunning() const;
    int port() const { return listeningPort; }
    qint64 processId() const { return process ? process->processId() : 0; }
    QString url() const; // "https://localhost:<port>"
    QString databasePath() const;
    QString errorString() const { return error; }
    // Everything the server wrote to standard error (one line per request) so far.
    QByteArray log() const;

    static Fault fault(const QString& path, FaultKind kind, int status = 500, const QString& body = {}, int count = 1,
                       int delayMs = 0);
    bool injectFault(const Fault& fault);
    bool clearFaults();

    // Writes "app_settings.json" naming `url` as the course server into `settingsDir` (the
    // client's configuration directory followed by "/oxbell"), creating the directory.
    static bool writeAppSettings(const QString& settingsDir, const QString& url);

private:
    bool launch();
    // A control request to /_faults; true on HTTP 200.
    bool control(const QByteArray& method, const QByteArray& body);

    Options options;
    std::unique_ptr<QTemporaryDir> directory;
    std::unique_ptr<ServerProcess> process;
    int listeningPort = 0;
    int restartPort = 0; // 0: any free port
    QString error;
};
