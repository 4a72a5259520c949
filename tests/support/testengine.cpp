#include "support/testengine.h"

TestEngine::TestEngine(QObject* parent)
    : Oxbell(parent)
{
}

void TestEngine::record(const QString& hook, const QVariantList& arguments)
{
    const Call call{hook, arguments};
    calls.append(call);
    emit hookCalled(hook);
    if (const auto reaction = reactions.value(hook))
        reaction(call);
}

QStringList TestEngine::hookNames() const
{
    QStringList names;
    for (const Call& call : calls)
        names.append(call.hook);
    return names;
}

QList<TestEngine::Call> TestEngine::callsOf(const QString& hook) const
{
    QList<Call> matching;
    for (const Call& call : calls) {
        if (call.hook == hook)
            matching.append(call);
    }
    return matching;
}

void TestEngine::errorMessage(const QString& message, bool fatal)
{
    record(QStringLiteral("errorMessage"), {message, fatal});
}

bool TestEngine::confirmTurnIn(const QString& question)
{
    record(QStringLiteral("confirmTurnIn"), {question});
    // No, the question's default.
    return false;
}

bool TestEngine::promptRetry(const QString& message)
{
    record(QStringLiteral("promptRetry"), {message});
    return retryAnswers.isEmpty() ? false : retryAnswers.takeFirst();
}

void TestEngine::showStatus(const QString& status)
{
    record(QStringLiteral("showStatus"), {status});
}

void TestEngine::alert(const QString& message)
{
    record(QStringLiteral("alert"), {message});
}

void TestEngine::notifyNewVersion(const QString& version, const QString& url)
{
    record(QStringLiteral("notifyNewVersion"), {version, url});
}

void TestEngine::loginStateChanged(int state)
{
    record(QStringLiteral("loginStateChanged"), {state});
}

void TestEngine::coursesLoaded(const QJsonObject& catalogue)
{
    record(QStringLiteral("coursesLoaded"), {catalogue.toVariantMap()});
}

void TestEngine::showGradeResult(const QVariantMap& result)
{
    record(QStringLiteral("showGradeResult"), {result});
}

void TestEngine::scriptFailed()
{
    record(QStringLiteral("scriptFailed"), {});
}

void TestEngine::addFeedback(const QString& summary, const QString& detail)
{
    record(QStringLiteral("addFeedback"), {summary, detail});
}

void TestEngine::clearFeedback()
{
    record(QStringLiteral("clearFeedback"), {});
}

void TestEngine::gradingFinished()
{
    record(QStringLiteral("gradingFinished"), {});
}

void TestEngine::initCompleted()
{
    record(QStringLiteral("initCompleted"), {});
}

void TestEngine::requestProxyCredentials(QAuthenticator*)
{
    record(QStringLiteral("requestProxyCredentials"), {});
}
