#include "courseserver.h"
#include "database.h"
#include "passwordhash.h"
#include "serverkeys.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <pthread.h>
#include <string>
#include <thread>

namespace {
constexpr int proceed = -1;
constexpr int failed = 1;
constexpr int usageError = 2;

const char* const usage
    = "Usage: oxbell-server serve [--courses DIR] --db FILE [--cert CHAIN.pem] [--key KEY.pem]\n"
      "                           [--session-key PRIVATE.pem] [--host ADDRESS] [--port N] [--faults]\n"
      "                           [--client-version TEXT] [--client-url URL] [--max-sessions N]\n"
      "                           [--max-connections N]\n"
      "       oxbell-server add-user --db FILE --email ADDRESS < PASSWORD\n"
      "       oxbell-server check-courses [--courses DIR]\n"
      "       oxbell-server make-keys [--dir DIR]\n"
      "       oxbell-server client-files --out DIR [--dir DIR]\n"
      "Run a command with --help for its options.\n";

void printError(const QString& text)
{
    std::fprintf(stderr, "oxbell-server: %s\n", text.toLocal8Bit().constData());
}

// Parses the options of one command: proceed, or the exit status after help or a usage error.
int parse(QCommandLineParser& parser, const QString& command, const QStringList& arguments,
          const QList<QCommandLineOption>& options, const QStringList& required)
{
    parser.setApplicationDescription(QStringLiteral("oxbell-server %1").arg(command));
    parser.addOptions(options);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    parser.addOption(help);
    if (!parser.parse(arguments)) {
        printError(parser.errorText());
        return usageError;
    }
    if (parser.isSet(help)) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
        return usageError;
    }
    for (const QString& name : required) {
        if (parser.value(name).isEmpty()) {
            printError(QStringLiteral("%1 needs --%2").arg(command, name));
            return usageError;
        }
    }
    return proceed;
}

// Where the server's own files lie. A server run from its build tree (marked by the build) uses the
// build's PKI and demo course beside it; an installed one (PREFIX/bin/oxbell-server) only its
// installed locations, never a path of the machine it was built on.
struct Layout {
    QString keys;
    QString courses;
};

Layout layout()
{
    const QString bin = QCoreApplication::applicationDirPath();
    if (QFileInfo::exists(bin + QStringLiteral("/" OXBELL_SERVER_BUILD_MARK)))
        return {QDir::cleanPath(bin + QStringLiteral("/" OXBELL_SERVER_BUILD_KEYS)),
                QDir::cleanPath(bin + QStringLiteral("/" OXBELL_SERVER_BUILD_COURSES))};
    const QString prefix = QDir::cleanPath(bin + QStringLiteral("/.."));
    // The Debian way: a program under /usr keeps its configuration in /etc.
    const QString configuration = prefix == QLatin1String("/usr") ? QString() : prefix;
    return {configuration + QStringLiteral("/etc/oxbell-server"),
            QDir::cleanPath(bin + QStringLiteral("/" OXBELL_SERVER_INSTALLED_COURSES))};
}

QCommandLineOption coursesOption()
{
    return {QStringLiteral("courses"), QStringLiteral("Course directory holding catalogue.json."),
            QStringLiteral("DIR"), layout().courses};
}

QCommandLineOption keyDirectoryOption()
{
    return {QStringLiteral("dir"), QStringLiteral("Key directory."), QStringLiteral("DIR"), layout().keys};
}

QCommandLineOption databaseOption()
{
    return {QStringLiteral("db"), QStringLiteral("SQLite database file (created when missing)."),
            QStringLiteral("FILE")};
}

int serve(const QStringList& arguments)
{
    const QString pki = layout().keys + QLatin1Char('/');
    QCommandLineParser parser;
    const QList<QCommandLineOption> options{
        coursesOption(),
        databaseOption(),
        {QStringLiteral("cert"), QStringLiteral("Certificate chain, leaf first (PEM)."), QStringLiteral("FILE"),
         pki + QStringLiteral("chain.pem")},
        {QStringLiteral("key"), QStringLiteral("Private key of the leaf certificate (PEM)."), QStringLiteral("FILE"),
         pki + QStringLiteral("leaf.key")},
        {QStringLiteral("session-key"), QStringLiteral("RSA private key of the session negotiation (PEM)."),
         QStringLiteral("FILE"), pki + QStringLiteral("session-private.pem")},
        {QStringLiteral("host"), QStringLiteral("Address to listen on."), QStringLiteral("ADDRESS"),
         QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"), QStringLiteral("Port to listen on; 0 picks a free one."), QStringLiteral("N"),
         QString::number(OXBELL_PRACTICE_PORT)},
        {QStringLiteral("faults"),
         QStringLiteral("Accept fault injection (POST/DELETE /_faults) from loopback peers; needs a loopback --host.")},
        {QStringLiteral("max-sessions"), QStringLiteral("Sessions kept at most."), QStringLiteral("N"),
         QString::number(SessionStore::defaultLimit)},
        {QStringLiteral("max-connections"), QStringLiteral("Connections open at most; one address holds a quarter."),
         QStringLiteral("N"), QString::number(HttpsFront::Limits().maxConnections)},
        {QStringLiteral("client-version"), QStringLiteral("Client version that /version announces; empty: none."),
         QStringLiteral("TEXT"), QStringLiteral(OXBELL_VERSION)},
        {QStringLiteral("client-url"), QStringLiteral("Download address that /version announces; empty: none."),
         QStringLiteral("URL"), QStringLiteral("https://oxbell.invalid/download")},
    };
    if (const int status = parse(parser, QStringLiteral("serve"), arguments, options, {QStringLiteral("db")});
        status != proceed)
        return status;
    bool portOk = false;
    const int port = parser.value(QStringLiteral("port")).toInt(&portOk);
    if (!portOk || port < 0 || port > 65535) {
        printError(QStringLiteral("--port takes a number from 0 to 65535"));
        return usageError;
    }

    const qulonglong maxSessions = parser.value(QStringLiteral("max-sessions")).toULongLong(&portOk);
    if (!portOk || maxSessions < 1) {
        printError(QStringLiteral("--max-sessions takes a number from 1"));
        return usageError;
    }

    const qulonglong maxConnections = parser.value(QStringLiteral("max-connections")).toULongLong(&portOk);
    if (!portOk || maxConnections < 1) {
        printError(QStringLiteral("--max-connections takes a number from 1"));
        return usageError;
    }

    CourseServer::Options settings;
    settings.maxSessions = size_t(maxSessions);
    settings.maxConnections = size_t(maxConnections);
    settings.courses = parser.value(QStringLiteral("courses"));
    settings.database = parser.value(QStringLiteral("db"));
    settings.certificateChain = parser.value(QStringLiteral("cert"));
    settings.certificateKey = parser.value(QStringLiteral("key"));
    settings.sessionKey = parser.value(QStringLiteral("session-key"));
    settings.host = parser.value(QStringLiteral("host"));
    settings.port = port;
    settings.faults = parser.isSet(QStringLiteral("faults"));
    settings.version = {parser.value(QStringLiteral("client-version")), parser.value(QStringLiteral("client-url"))};

    // SIGINT and SIGTERM are taken by one thread that stops the server; every other thread (the
    // server's workers included) inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that goes away mid-reply must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    CourseServer server;
    QString error;
    if (!server.setUp(settings, &error)) {
        printError(error);
        return failed;
    }
    std::fprintf(stderr, "oxbell-server: %d problems from %s\n", server.problemCount(),
                 settings.courses.toLocal8Bit().constData());
    std::fprintf(stdout, "listening on %s:%d\n", settings.host.toLocal8Bit().constData(), server.port());
    std::fflush(stdout);

    std::atomic<bool> finished{false};
    std::thread waiter([&server, &finished, stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        // A signal that comes while the server is still starting waits until stopping can work.
        while (!finished && !server.isRunning())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        server.stop();
    });
    const bool ran = server.run();
    finished = true;
    // Wakes the waiter when the server ended on its own.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    std::fprintf(stderr, "oxbell-server: stopped\n");
    return ran ? 0 : failed;
}

int addUser(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QList<QCommandLineOption> options{
        databaseOption(),
        {QStringLiteral("email"), QStringLiteral("E-mail address of the account."), QStringLiteral("ADDRESS")},
        {QStringLiteral("password"),
         QStringLiteral("Password, seen by every local user in the process list; without this option it is "
                        "read as the first line of standard input."),
         QStringLiteral("TEXT")},
    };
    if (const int status = parse(parser, QStringLiteral("add-user"), arguments, options,
                                 {QStringLiteral("db"), QStringLiteral("email")});
        status != proceed)
        return status;
    const QString email = parser.value(QStringLiteral("email"));
    static const QRegularExpression address(QStringLiteral("^[^@\\s]+@[^@\\s]+$"));
    if (!address.match(email).hasMatch() || email.size() > Database::maxEmailLength) {
        printError(QStringLiteral("%1 is not an e-mail address").arg(email));
        return usageError;
    }
    QString password = parser.value(QStringLiteral("password"));
    if (!parser.isSet(QStringLiteral("password"))) {
        std::string line;
        std::getline(std::cin, line);
        password = QString::fromStdString(line);
        if (password.endsWith(QLatin1Char('\r')))
            password.chop(1);
    }
    if (password.isEmpty() || password.size() > PasswordHash::maxLength) {
        printError(QStringLiteral("a password has 1 to %1 characters").arg(PasswordHash::maxLength));
        return usageError;
    }

    Database database;
    QString error;
    if (!database.open(parser.value(QStringLiteral("db")), &error)) {
        printError(error);
        return failed;
    }
    switch (database.setUser(email, password)) {
    case Database::UserChange::Added:
        std::printf("added %s\n", email.toLocal8Bit().constData());
        return 0;
    case Database::UserChange::Updated:
        std::printf("updated the password of %s\n", email.toLocal8Bit().constData());
        return 0;
    case Database::UserChange::Failed:
        break;
    }
    printError(QStringLiteral("the account could not be written"));
    return failed;
}

int makeKeys(const QStringList& arguments)
{
    QCommandLineParser parser;
    if (const int status = parse(parser, QStringLiteral("make-keys"), arguments, {keyDirectoryOption()}, {});
        status != proceed)
        return status;
    QStringList made;
    QString error;
    const bool done = ServerKeys::make(parser.value(QStringLiteral("dir")), &made, &error);
    // What was made is told even after a failure, so that a caller can give the files their owner.
    for (const QString& path : qAsConst(made))
        std::printf("%s\n", path.toLocal8Bit().constData());
    if (!done) {
        printError(error);
        return failed;
    }
    return 0;
}

int clientFiles(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QList<QCommandLineOption> options{
        keyDirectoryOption(),
        {QStringLiteral("out"),
         QStringLiteral("Directory to make and write the two public files into; it must not exist yet."),
         QStringLiteral("DIR")},
    };
    if (const int status = parse(parser, QStringLiteral("client-files"), arguments, options, {QStringLiteral("out")});
        status != proceed)
        return status;
    QStringList written;
    QString error;
    if (!ServerKeys::exportClientFiles(parser.value(QStringLiteral("dir")), parser.value(QStringLiteral("out")),
                                       &written, &error)) {
        printError(error);
        return failed;
    }
    std::printf("Configure a client for this server with\n  -DOXBELL_SERVER_KEY_PEM=%s -DOXBELL_SERVER_CA_PEM=%s\n",
                written.at(0).toLocal8Bit().constData(), written.at(1).toLocal8Bit().constData());
    return 0;
}

int checkCourses(const QStringList& arguments)
{
    QCommandLineParser parser;
    if (const int status = parse(parser, QStringLiteral("check-courses"), arguments, {coursesOption()}, {});
        status != proceed)
        return status;
    CourseDirectory courses;
    QString error;
    if (!courses.load(parser.value(QStringLiteral("courses")), &error)) {
        printError(error);
        return failed;
    }
    std::printf("%s: %d problems, all scripts present\n",
                parser.value(QStringLiteral("courses")).toLocal8Bit().constData(), courses.problemCount());
    return 0;
}
}

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("oxbell-server"));
    QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.size() > 1 ? arguments.takeAt(1) : QString();
    if (command == QLatin1String("serve"))
        return serve(arguments);
    if (command == QLatin1String("add-user"))
        return addUser(arguments);
    if (command == QLatin1String("check-courses"))
        return checkCourses(arguments);
    if (command == QLatin1String("make-keys"))
        return makeKeys(arguments);
    if (command == QLatin1String("client-files"))
        return clientFiles(arguments);
    const bool help
        = command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("help");
    if (!help && !command.isEmpty())
        printError(QStringLiteral("unknown command %1").arg(command));
    std::fputs(usage, help ? stdout : stderr);
    return help ? 0 : usageError;
}
