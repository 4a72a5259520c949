#pragma once

#include <QAbstractSocket>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QNetworkProxy>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QProcess;
class QSslCertificate;
class QSslError;

// Checks a student's set-up the way the program would use it, without logging in: the settings
// files, the log, the interpreter, the CA file, the proxy, the course server from its name to the
// session negotiation, the student's own servers and the clock. The checks run one after another
// on the event loop; each result is reported as it comes (checked), then finished. Nothing is
// drawn or asked here, and no finding ever holds a password.
class Doctor : public QObject {
    Q_OBJECT

public:
    enum class Outcome { Ok, Warn, Fail };

    // The checks, in the order they run.
    enum Check {
        Settings,
        Log,
        Interpreter,
        CertificateAuthority,
        Proxy,
        ServerAddress,
        ServerConnection,
        ServerCertificate,
        ServerProtocol,
        YourServers,
        Clock,
        CheckCount
    };
    static QString checkName(Check check);

    struct Finding {
        Check check = Settings;
        Outcome outcome = Outcome::Ok;
        QString found;
        // What to do about a warning or a failure.
        QString advice;
        // Not run because a check it needs failed.
        bool skipped = false;
        // "ok   name: found"; a warning or a failure adds an indented line with the advice.
        QString text() const;
    };

    // Where the program keeps its files; tests point them elsewhere.
    struct Places {
        QString applicationDir;
        QString settingsDir;
        QString logFile;
    };
    static Places programPlaces();

    static constexpr int interpreterTimeoutMs = 10000;
    static constexpr int serverTimeoutMs = 10000;
    static constexpr int studentServerTimeoutMs = 2000;
    static constexpr qint64 clockToleranceSeconds = 5 * 60;
    static constexpr int caExpiryWarningDays = 30;

    explicit Doctor(const Places& places, QObject* parent = nullptr);

    // Runs every check; returns at once.
    void start();
    bool isFinished() const { return done; }
    const QList<Finding>& findings() const { return results; }
    // Warnings count as passed.
    int passedCount() const;
    int failedCount() const;
    // "N passed, M failed".
    QString summary() const;
    // Every finding's text, then the summary, a line break after each.
    QString report() const;

signals:
    void checked(const Doctor::Finding& finding);
    void finished();

private:
    using SocketDone = std::function<void(bool connected, QAbstractSocket::SocketError error, const QString& why)>;
    using ProcessDone = std::function<void(bool finished, int exitCode, const QByteArray& output,
                                           const QByteArray& errorOutput, const QString& why)>;

    void next();
    void finish(Outcome outcome, const QString& found, const QString& advice = {});
    bool failed(Check check) const;

    void checkSettings();
    void checkLog();
    void checkInterpreter();
    void checkCertificateAuthority();
    void checkProxy();
    void checkServerAddress();
    void checkServerConnection();
    void checkServerCertificate();
    void checkServerProtocol();
    void checkYourServers();
    void checkClock();

    // Reads one settings file: its object (the default when the file does not exist yet),
    // problems that fail the check and notes that only warn.
    QJsonObject readSettings(const QString& name, const QJsonObject& fallback, QStringList* problems,
                             QStringList* notes) const;
    void negotiate(const QString& member, const QByteArray& value, const std::function<void()>& then);
    QNetworkReply* send(const QString& path, const QByteArray* body);
    void awaitSocket(QAbstractSocket* socket, int timeoutMs, const SocketDone& then);
    void runProcess(const QStringList& arguments, const QByteArray& input, const ProcessDone& then);
    QString serverName() const;
    QString proxyName() const;
    bool throughProxy() const;

    // Shared by the local and the network checks.
    static QString quoted(const QString& text);
    static QString day(const QDateTime& time);
    static bool isNamedProxy(const QNetworkProxy& proxy);
    static QString certificateName(const QSslCertificate& certificate);
    // What a rejected certificate error means to a student.
    static QString trustRuleFailed(const QSslError& error);

    Places places;
    int current = -1;
    bool done = false;
    QList<Finding> results;

    QUrl serverUrl;
    QVariantMap proxySettings;
    QVariantMap servers;
    // The proxy the program's connections take; NoProxy when they go directly.
    QNetworkProxy proxy{QNetworkProxy::NoProxy};
    bool systemProxy = false;
    // Through a proxy, the one connection made for the address check answers the connection
    // check as well.
    QString proxiedConnectionError;
    QNetworkAccessManager* network = nullptr;
    QDateTime serverDate;
    QDateTime serverDateReceived;
    QString newerVersion;
    QString newerVersionUrl;
};
