#pragma once

#include "engine/oxbell.h"

#include <QJsonObject>
#include <QList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

// An engine whose hooks record every call (name and arguments, in order) and optionally run a
// reaction, so tests can drive the engine the way a front end does.
class TestEngine : public Oxbell {
    Q_OBJECT

public:
    struct Call {
        QString hook;
        QVariantList arguments;
    };

    explicit TestEngine(QObject* parent = nullptr);

    void errorMessage(const QString& message, bool fatal) override;
    bool promptRetry(const QString& message) override;
    void showStatus(const QString& status) override;
    void alert(const QString& message) override;
    void notifyNewVersion(const QString& version, const QString& url) override;
    void loginStateChanged(int state) override;
    void coursesLoaded(const QJsonObject& catalogue) override;
    void showGradeResult(const QVariantMap& result) override;
    void scriptFailed() override;
    void addFeedback(const QString& summary, const QString& detail) override;
    void clearFeedback() override;
    void gradingFinished() override;
    void initCompleted() override;
    void requestProxyCredentials(QAuthenticator* authenticator) override;
    bool confirmTurnIn(const QString& question) override;

    // Names of the hooks called so far, in order.
    QStringList hookNames() const;
    // Calls of one hook, in order.
    QList<Call> callsOf(const QString& hook) const;
    bool called(const QString& hook) const { return !callsOf(hook).isEmpty(); }

    QList<Call> calls;
    // Answers of promptRetry, taken from the front; false when exhausted.
    QList<bool> retryAnswers;
    // Reactions run after a hook call is recorded, keyed by hook name.
    QHash<QString, std::function<void(const Call&)>> reactions;

    using Oxbell::appSettings;
    using Oxbell::cancelPendingReplies;
    using Oxbell::checkVersion;
    using Oxbell::ignoredReplies;
    using Oxbell::interpreterPath;
    using Oxbell::negotiateIv;
    using Oxbell::negotiateKey;
    using Oxbell::network;
    using Oxbell::nextServerNumber;
    using Oxbell::pendingReplies;
    using Oxbell::requestState;
    using Oxbell::requestTimeoutMs;
    using Oxbell::runScript;
    using Oxbell::runState;
    using Oxbell::scriptRun;
    using Oxbell::scriptState;
    using Oxbell::scriptTimeLimit;
    using Oxbell::serverKey;
    using Oxbell::serverUrl;
    using Oxbell::sessionKeys;
    using Oxbell::testMode;
    using Oxbell::userSettings;

signals:
    void hookCalled(const QString& hook);

private:
    void record(const QString& hook, const QVariantList& arguments);
};
