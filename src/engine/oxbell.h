#pragma once

#include "cryptography/aeskeypair.h"
#include "cryptography/rsapublickey.h"
#include "engine/coursetree.h"
#include "engine/receipts.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <optional>

class QAuthenticator;
class QNetworkAccessManager;
class QNetworkProxy;

class QNetworkRequest;
class QTreeWidgetItem;
class ScriptRun;
class TurnIn;

// Wording of the two run modes, indexed by Oxbell::testMode (false: grade, true: test).
extern const QString modeVerb[2];
extern const QString modeGerund[2];
extern const QString modeGerundTitle[2];
extern const QString modePast[2];

// The reply the engine is waiting for.
enum RequestState {
    Idle = 0,
    CheckingVersion = 1,
    NegotiatingIv = 2,
    NegotiatingKey = 3,
    LoggingIn = 4,
    LoadingCourses = 5,
    DownloadingInit = 6,
    DownloadingScript = 7,
    PostingGrade = 8,
    // The catalogue, reloaded before a kept turn-in is sent again, to see whether the first post
    // arrived after all.
    CheckingAttempts = 9,
};

// Values of loginStateChanged's argument.
namespace LoginState {
constexpr int Ready = 0; // the session key was accepted; nobody is logged in yet
constexpr int LoggedIn = 1;
constexpr int Refused = 2; // the server refused the login or could not be reached
}

// Values of Oxbell::runState: which operation on a problem is under way.
namespace RunState {
constexpr int None = 0;
constexpr int Init = 1; // an init script is downloaded or running
constexpr int Grading = 2; // a grading script is downloaded or running, or its result posted
}

// What a run on a problem does: run its init script, or run its grading script and post the
// result as a test or as a turn-in.
enum class RunKind { Init, Test, TurnIn };

// The engine every front end derives from. It never draws or prompts: whatever the user must see
// or answer goes through the hooks below.
class Oxbell : public QObject {
    Q_OBJECT

public:
    explicit Oxbell(QObject* parent = nullptr);
    ~Oxbell() override;

    virtual void start();

    // The hooks. Each is called on the event-loop thread; the comment says when, and what the
    // front end does next. A hook may block (a console prompt) and may call back into the engine.

    // A failure the user must see. Fatal: start-up or the session cannot go on, the front end
    // ends the program with status 1 (the engine carries on with what it has if the call
    // returns). Not fatal: show it; when a run ends with it, scriptFailed follows.
    virtual void errorMessage(const QString& message, bool fatal) = 0;
    // The catalogue did not load. Return true to send the request again; false ends the event
    // loop with status 1.
    virtual bool promptRetry(const QString& message) = 0;
    // A progress step ("Loading course information..."); show it, nothing is expected back.
    virtual void showStatus(const QString& status) = 0;
    // Plain information, such as the next step of a multistep section being unlocked.
    virtual void alert(const QString& message) = 0;
    // The server announces a newer client at url; start-up goes on regardless.
    virtual void notifyNewVersion(const QString& version, const QString& url) = 0;
    // LoginState::Ready or LoginState::Refused: obtain an address and password and call login().
    // LoginState::LoggedIn: call loadCourses().
    virtual void loginStateChanged(int state) = 0;
    // The catalogue arrived (after loadCourses() or a retry): rebuild the course tree from it
    // with buildCourseTree() and let the user choose a problem. A front end that replaces the
    // tree runningItem points into calls forgetRunningItem() first.
    virtual void coursesLoaded(const QJsonObject& catalogue) = 0;
    // The server's answer to postGrade(); requestState and runState are already idle. Show its
    // "feedback" pairs and, for a turn-in (testMode false), merge it into the run's problem:
    // applyGradeResult() does both; a front end without a tree to keep uses addResultFeedback().
    virtual void showGradeResult(const QVariantMap& result) = 0;
    // An operation on a problem ended without success (also after cancelRun()); runState is idle.
    // Return to the idle state: controls back on, the problem shown again.
    virtual void scriptFailed() = 0;
    // One feedback entry of the running script: append it to the feedback display.
    virtual void addFeedback(const QString& summary, const QString& detail) = 0;
    // A script run starts: empty the feedback display of the previous run.
    virtual void clearFeedback() = 0;
    // A grading or test script ended cleanly: call postRunGrade(), which posts the result for the
    // run's problem item; showGradeResult or scriptFailed follows.
    virtual void gradingFinished() = 0;
    // An init script ended cleanly (runState is idle): tell the user the problem is initialised.
    virtual void initCompleted() = 0;
    // Set a user name and password on the authenticator. The engine's own flow never calls it.
    virtual void requestProxyCredentials(QAuthenticator* authenticator) = 0;
    // A turn-in is about to run, but servers its problem needs cannot be reached. Ask the question
    // (it names them and the attempts left) with No as the default. True: the run goes on. False:
    // the run ends unstarted, with runState idle and scriptFailed, no message and no attempt used.
    virtual bool confirmTurnIn(const QString& question) = 0;

    void login(const QString& email, const QString& password);
    void loadCourses();
    void downloadScript(QTreeWidgetItem* problem, bool init);
    void postGrade(QTreeWidgetItem* problem);
    void cancelRun();

    // Starts a run on a problem item. While a run of the same kind is under way (an init while an
    // init runs, a test or turn-in while either runs) the user is told to wait for the problem of
    // that run, nothing changes and the result is false. Otherwise runState, testMode and
    // runningItem are set, the script is requested, and the result is true; the run may already
    // have ended by then (no servers configured: scriptFailed has been called, runState is idle).
    bool startProblemRun(RunKind kind, QTreeWidgetItem* problem);
    // From gradingFinished: posts the result of the run's problem.
    void postRunGrade();
    // From showGradeResult: the result's feedback pairs go to addFeedback; a turn-in's attempts,
    // grade and completion are merged into the map of the run's problem item.
    void applyGradeResult(const QVariantMap& result);
    // The run's problem item points into a course tree that is about to go.
    void forgetRunningItem() { runningItem = nullptr; }

    // A grade post that the server did not record (no answer, a time-out, a network or TLS error,
    // a server error, a session lost for good) leaves its result kept, beside the receipts of
    // every post, for the course server in use, until it is sent or a newer result of the same
    // problem and mode is posted. hasKeptResult: `problem` has one that may be sent now (a test,
    // or a turn-in while Turn in is offered for the problem as its item shows it). The latest
    // receipt of `problem` as one line ("Last turn-in: 7/10, 2026-12-08 14:03"; empty when there
    // is none).
    bool hasKeptResult(QTreeWidgetItem* problem) const;
    QString lastReceiptLine(QTreeWidgetItem* problem) const;
    // A kept turn-in of `problem` that can no longer be sent (no attempts left, the due date passed,
    // as its item shows it) is dropped; the result says so in one line for the front end to show
    // with the problem. Empty when nothing was dropped.
    QString dropUnsendableKeptResult(QTreeWidgetItem* problem);
    // Sends the kept result of `problem` again (the newer of its two modes) as a run of that mode,
    // without running the script. Refused like startProblemRun while a test or turn-in runs (the
    // result is false). A kept turn-in is first checked against the reloaded catalogue: when the
    // problem's attempts grew since, the first post arrived, and the run ends in showGradeResult
    // with the catalogue's standing and a feedback entry saying so, nothing sent. When Turn in is
    // no longer offered for it, the kept result is dropped and the run ends in errorMessage and
    // scriptFailed, nothing sent. Otherwise the result is posted as the first post was;
    // showGradeResult or scriptFailed follows.
    bool sendKeptResult(QTreeWidgetItem* problem);

    void ensureSettingsDirExists();
    void ensureAppSettingsExists(const QString& fileName);
    void ensureUserSettingsExists(const QString& fileName);
    QVariantMap getSettings(QString fileName);
    static QString settingsDir();
    // What a missing settings file is written as.
    static QJsonObject defaultAppSettings();
    static QJsonObject defaultUserSettings();

    void mergeGradeResult(QVariantMap& problemMap, const QVariantMap& result, QTreeWidgetItem* problemItem);
    // Passes each [summary, detail] pair of a grade result's "feedback" to addFeedback; an entry
    // short of a pair reads as empty where it ends.
    void addResultFeedback(const QVariantMap& result);

    // 1 + the largest N of the server names "newServer<N>", 0 when there is none.
    static int nextServerNumberOf(const QVariantMap& userSettings);
    // The course server's base URL from the application settings, without a default port.
    static QUrl serverUrlOf(const QVariantMap& appSettings);
    // The proxy that the "proxy" object of the user settings describes (no host lookup).
    static QNetworkProxy proxyOf(const QVariantMap& proxySettings);
    // The course server's public key that the program carries.
    static void loadServerKey(RsaPublicKey& key);
    // Of the TLS errors a handshake met, those the program accepts: the server's intermediate CA
    // when it is the one in `caFile`, and an untrusted certificate. Any other error fails it.
    static QList<QSslError> acceptedSslErrors(const QList<QSslError>& errors, const QString& caFile);

    // True while a hook reports that the course server or the proxy could not be reached (no
    // answer, TLS refused, proxy failure): a front end may point the student at the set-up check.
    bool connectionFailing() const { return connectionFailure; }

    // A request that receives nothing for this long fails as not answered in time.
    static constexpr int transferTimeoutMs = 30000;
    // How long the check before a turn-in waits for the student's servers to accept a connection.
    static constexpr int serverCheckTimeoutMs = 2000;

    // A run's time limit when neither the problem nor the user settings give one; 0 means none.
    static constexpr int defaultScriptTimeLimitSeconds = 600;
    // A line of the script's standard output longer than this ends the run as malformed.
    static constexpr int maxMessageLineBytes = 1 << 20;
    // How much of a malformed line a message shows.
    static constexpr int messageExcerptBytes = 200;
    // How much of the script's standard error a failure message shows; the rest is counted.
    static constexpr int maxStandardErrorBytes = 64 << 10;
    // Seconds a run of `problem` may take: the problem's "time_limit", else the user settings'
    // "script_time_limit", else defaultScriptTimeLimitSeconds. 0: no limit.
    static double scriptTimeLimitOf(const QVariantMap& problem, const QVariantMap& userSettings);

public slots:
    void replyFinished(QNetworkReply* reply);
    void handleSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);

protected:
    void checkVersion();
    void negotiateIv();
    void negotiateKey();
    void cancelPendingReplies();
    QByteArray readDecrypted(QNetworkReply* reply);
    void handleProxyAuthentication(const QNetworkProxy& proxy, QAuthenticator* authenticator);
    void runScript(QByteArray script, bool isInit);

    QVariantMap userSettings;
    int runState = RunState::None;
    int requestState = Idle;
    bool testMode = false;
    QString interpreterPath;
    // The run under way, null when there is none.
    ScriptRun* scriptRun = nullptr;
    int nextServerNumber = 0;
    QVariantMap appSettings;
    QList<QNetworkReply*> pendingReplies;
    QList<QNetworkReply*> ignoredReplies;
    QJsonDocument scriptState;
    // The problem item of the current or last run; null before the first run.
    QTreeWidgetItem* runningItem = nullptr;
    AESKeyPair sessionKeys;
    RsaPublicKey serverKey;
    QUrl serverUrl;
    QNetworkAccessManager* network = nullptr;
    // Tests shorten it; the program keeps transferTimeoutMs.
    int requestTimeoutMs = transferTimeoutMs;
    // Time limit of the next run in seconds (0: none), set when its script is requested.
    double scriptTimeLimit = defaultScriptTimeLimitSeconds;

private:
    bool connectionFailure = false;

    void installProxy();
    QNetworkRequest requestFor(const QString& path) const;
    void sendGet(const QString& path, RequestState state);
    // `once`: the body is an upload the network layer cannot replay, so a connection that closes
    // before the answer fails the request (ContentReSendError) rather than posting it again.
    void sendPost(const QString& path, RequestState state, const QByteArray& body, bool once = false);

    QStringList problemIdentifiers(QTreeWidgetItem* problem) const;

    // Why a request failed: the network layer's text, or the server's plain-text error body
    // when the server answered and its body is the reason.
    QString failureReason(QNetworkReply* reply, bool serverBodyIsReason) const;
    // The error action of requestState (LoggingIn and later) for a request that failed for
    // `reason`; verdictUnknown: a grade post's failure does not say the server refused it.
    void requestFailed(const QString& reason, bool verdictUnknown);
    void handshakeFailed(const QString& message);
    void versionReceived(QNetworkReply* reply);
    void coursesReplied(QNetworkReply* reply);
    void coursesFailed(const QString& reason);
    void scriptDownloaded(QNetworkReply* reply);
    void downloadFailed(const QString& reason);
    void gradeReplied(QNetworkReply* reply);
    // verdictUnknown: the server may not have recorded the post (no answer, a server error, a
    // lost session); otherwise it refused the result itself.
    void gradeFailed(const QString& reason, bool verdictUnknown);

    // Ends the operation on a problem under way as failed: the message (not fatal), runState
    // back to idle, then scriptFailed.
    void endRunFailed(const QString& message);
    void failRun(bool init, const QString& reason);
    PostedProblem postedProblem(QTreeWidgetItem* problem, bool test) const;
    void downloadGradingScript();
    // Before a turn-in: the servers the problem needs that are not reachable, then the question.
    void checkServersBeforeTurnIn();
    void serversChecked(const QStringList& unreachable);
    void attemptsChecked(QNetworkReply* reply);
    // The test or turn-in under way, made when its run starts; null when none lives.
    TurnIn* turnIn = nullptr;
    TurnIn& startTurnIn();
    void endTurnIn();

    // A request sent after the key exchange, kept as sent so that it can go again on a new session.
    struct SessionRequest {
        RequestState state = Idle;
        QString path;
        bool isPost = false;
        QByteArray body; // as sent, encrypted
        bool once = false;
        bool repeated = false; // already sent again on a new session

        static SessionRequest get(RequestState state, const QString& path)
        {
            return {state, path, false, {}, false, false};
        }
        static SessionRequest post(RequestState state, const QString& path, const QByteArray& body, bool once)
        {
            return {state, path, true, body, once, false};
        }
    };
    void sendSessionRequest(const SessionRequest& request);
    SessionRequest lastRequest;
    // The course server answered lastRequest with a sign that it no longer knows the session.
    static bool sessionLost(QNetworkReply* reply);
    // Makes a new session and logs in again with this run's credentials, then sends lastRequest
    // again; false when that is not to be tried (a second loss, nobody logged in yet).
    bool recoverSession(QNetworkReply* reply);
    void repeatRequest();
    // The new session failed: lastRequest fails as it did the first time.
    void recoveryFailed();
    // Why lastRequest failed, while a new session is made for it.
    std::optional<QString> recoveringFrom;
    struct Credentials {
        QString email;
        QString password;
    };
    // The login last sent, and the one the server accepted: memory only, gone with the engine.
    Credentials loginSent;
    std::optional<Credentials> credentials;
    // True when a run of the same kind is under way: the user has been told to wait for the
    // problem named busyItemText. A run of the other kind does not block.
    bool refuseWhileRunning(int kind, const QString& busyItemText);
    // What the run reports, turned into hooks.
    void handleMessage(const QJsonObject& message, const QByteArray& line);
    void endRunMalformed(const QString& reason, const QByteArray& line);
    void reportStandardError(const QString& text, qint64 bytesBeyond);
    // The one end of a run that ended by itself, init or grading.
    void runEnded(bool clean);
    // The run was stopped for `reason`: it ends as failed.
    void runStopped(const QString& reason);
    // Lets the run go, stopping it if it still runs.
    void discardRun();
};
