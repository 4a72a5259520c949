#pragma once

#include "cryptography/aeskeypair.h"
#include "cryptography/rsapublickey.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QProcess>
#include <QSslError>
#include <QString>
#include <QUrl>
#include <QVariantMap>

class QAuthenticator;
class QNetworkAccessManager;
class QNetworkProxy;

class QNetworkRequest;
class QTreeWidgetItem;

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
};

// The course catalogue as a tree of course, week, section and step items; the caller owns the
// returned course items.
QList<QTreeWidgetItem*> buildCourseTree(const QJsonObject& catalogue);

// Number of ancestors of an item.
int itemDepth(const QTreeWidgetItem* item);

// The engine every front end derives from. It never draws or prompts: whatever the user must see
// or answer goes through the hooks below.
class Oxbell : public QObject {
    Q_OBJECT

public:
    explicit Oxbell(QObject* parent = nullptr);
    ~Oxbell() override;

    virtual void start();

    virtual void errorMessage(const QString& message, bool fatal) = 0;
    virtual bool promptRetry(const QString& message) = 0;
    virtual void showStatus(const QString& status) = 0;
    virtual void alert(const QString& message) = 0;
    virtual void notifyNewVersion(const QString& version, const QString& url) = 0;
    virtual void loginStateChanged(int state) = 0;
    virtual void coursesLoaded(const QJsonObject& catalogue) = 0;
    virtual void showGradeResult(const QVariantMap& result) = 0;
    virtual void scriptFailed() = 0;
    virtual void addFeedback(const QString& summary, const QString& detail) = 0;
    virtual void clearFeedback() = 0;
    virtual void gradingFinished() = 0;
    virtual void initCompleted() = 0;
    virtual void requestProxyCredentials(QAuthenticator* authenticator) = 0;

    void login(const QString& email, const QString& password);
    void loadCourses();
    void downloadScript(QTreeWidgetItem* problem, bool init);
    void postGrade(QTreeWidgetItem* problem);
    void cancelRun();

    void ensureSettingsDirExists();
    void ensureAppSettingsExists(const QString& fileName);
    void ensureUserSettingsExists(const QString& fileName);
    QVariantMap getSettings(QString fileName);
    QString settingsDir() const;

    void mergeGradeResult(QVariantMap& problemMap, const QVariantMap& result, QTreeWidgetItem* problemItem);

    // 1 + the largest N of the server names "newServer<N>", 0 when there is none.
    static int nextServerNumberOf(const QVariantMap& userSettings);
    // The course server's base URL from the application settings, without a default port.
    static QUrl serverUrlOf(const QVariantMap& appSettings);

public slots:
    void replyFinished(QNetworkReply* reply);
    void handleSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);

protected:
    void checkVersion();
    void negotiateIv();
    void negotiateKey();
    void cancelPendingReplies();
    QByteArray readDecrypted(QNetworkReply* reply);
    void runScript(QByteArray script, bool isInit);

    void initFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void scriptFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void initError(QProcess::ProcessError error);
    void scriptError(QProcess::ProcessError error);
    void readMessages();
    void checkStandardError();

    QVariantMap userSettings;
    int runState = 0;
    int requestState = Idle;
    bool testMode = false;
    QString interpreterPath;
    QProcess* scriptProcess = nullptr;
    int nextServerNumber = 0;
    QVariantMap appSettings;
    QList<QNetworkReply*> pendingReplies;
    QList<QNetworkReply*> ignoredReplies;
    QJsonDocument scriptState;
    AESKeyPair sessionKeys;
    RsaPublicKey serverKey;
    QUrl serverUrl;
    QNetworkAccessManager* network = nullptr;

private:
    QNetworkRequest requestFor(const QString& path) const;
    void sendGet(const QString& path, RequestState state);
    void sendPost(const QString& path, RequestState state, const QByteArray& body);

    QStringList problemIdentifiers(QTreeWidgetItem* problem) const;

    void versionReceived(QNetworkReply* reply);
    void coursesReplied(QNetworkReply* reply);
    void coursesFailed(const QString& reason);
    void scriptDownloaded(QNetworkReply* reply);
    void downloadFailed(const QString& reason);
    void gradeReplied(QNetworkReply* reply);
    void gradeFailed(const QString& reason);

    void failRun(bool init, const QString& reason);
    bool settleEndedRun();
    void discardProcess();
};
