// What keeps a turn-in from being lost or wasted: the check of the student's servers before it,
// a receipt of every grade post, and the result of a failed post kept and sent again.

#include "engine/names.h"
#include "engine/oxbell.h"
#include "engine/servercheck.h"
#include "engine/turnin.h"

#include <QDebug>
#include <QJsonArray>
#include <QNetworkReply>
#include <QTreeWidgetItem>

namespace {

// "a", "a and b", "a, b and c".
QString listed(const QStringList& items)
{
    if (items.size() < 2)
        return items.join(QString());
    return items.mid(0, items.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") + items.last();
}

// The problem as the catalogue lists it: course, then the week, section and problem by "url_name".
QJsonObject catalogueProblem(const QJsonObject& catalogue, const PostedProblem& problem)
{
    const auto named = [](const QJsonValue& list, const QString& name) {
        for (const QJsonValue& entry : list.toArray()) {
            if (entry.toObject().value(JsonKey::urlName).toString() == name)
                return entry.toObject();
        }
        return QJsonObject();
    };
    const QJsonObject week = named(catalogue.value(problem.course), problem.week);
    const QJsonObject section = named(week.value(JsonKey::sections), problem.section);
    return named(section.value(JsonKey::problems), problem.problem);
}

// Why Turn in is not offered for a problem; empty when it is.
QString turnInClosed(const ProblemSummary& summary)
{
    if (summary.turnInOffered)
        return QString();
    if (!summary.selfPaced && QDateTime::currentDateTime() >= summary.closeDate)
        return QStringLiteral("its due date has passed");
    return QStringLiteral("no attempts are left");
}

QString keptDroppedText(const QString& problem, const QString& why)
{
    return QStringLiteral("The result kept from the last turn-in of ") + problem + QStringLiteral(" was not sent: ")
        + why + QLatin1Char('.');
}

}

void TurnIn::append(Receipt receipt)
{
    receipt.time = QDateTime::currentDateTimeUtc();
    receipt.post = posted.post;
    QString error;
    if (!Receipts::append(receipt, &error))
        qWarning() << "The receipt of a grade post could not be written:" << error;
}

void TurnIn::recordAnswer(const QVariantMap& result)
{
    Receipt receipt;
    receipt.answered = true;
    for (const QString& key :
         {JsonKey::earned, JsonKey::possible, JsonKey::attempts, JsonKey::maxAttempts, JsonKey::complete})
        receipt.answer.insert(key, result.value(key));
    append(receipt);
    Receipts::drop(posted.post);
}

void TurnIn::recordArrived(const QVariantMap& standing)
{
    posted = *toSend;
    toSend.reset();
    recordAnswer(standing);
}

void TurnIn::recordFailure(const QString& reason, bool verdictUnknown)
{
    Receipt receipt;
    receipt.failure = reason;
    append(receipt);
    if (!verdictUnknown) {
        Receipts::drop(posted.post);
        return;
    }
    // A result sent again stays kept as it was, with the attempts seen before its first post; a
    // run that sent no result has nothing to keep.
    if (again || !posted.state.isObject())
        return;
    posted.keptAt = QDateTime::currentDateTimeUtc();
    QString error;
    if (!Receipts::keep(posted, &error))
        qWarning() << "The result of a failed grade post could not be kept:" << error;
}

TurnIn& Oxbell::startTurnIn()
{
    endTurnIn();
    turnIn = new TurnIn(this);
    return *turnIn;
}

void Oxbell::endTurnIn()
{
    if (turnIn)
        turnIn->deleteLater();
    turnIn = nullptr;
}

PostedProblem Oxbell::postedProblem(QTreeWidgetItem* problem, bool test) const
{
    const QStringList ids = problemIdentifiers(problem);
    PostedProblem posted;
    posted.server = serverUrl.toString();
    posted.course = ids[0];
    posted.week = ids[1];
    posted.section = ids[2];
    posted.problem = ids[3];
    posted.displayName = problem ? problem->text(0) : QString();
    posted.test = test;
    return posted;
}

bool Oxbell::hasKeptResult(QTreeWidgetItem* problem) const
{
    return problem
        && ((Receipts::kept(postedProblem(problem, false)).has_value()
             && problemSummary(problem->data(0, Qt::UserRole).toMap()).turnInOffered)
            || Receipts::kept(postedProblem(problem, true)).has_value());
}

QString Oxbell::dropUnsendableKeptResult(QTreeWidgetItem* problem)
{
    const QString why = problem ? turnInClosed(problemSummary(problem->data(0, Qt::UserRole).toMap())) : QString();
    const PostedProblem turnInOf = problem ? postedProblem(problem, false) : PostedProblem();
    if (why.isEmpty() || !Receipts::kept(turnInOf))
        return QString();
    qDebug() << "A kept turn-in can no longer be sent:" << turnInOf.displayName << why;
    Receipts::drop(turnInOf);
    return keptDroppedText(problem->text(0), why);
}

QString Oxbell::lastReceiptLine(QTreeWidgetItem* problem) const
{
    const std::optional<Receipt> receipt = problem ? Receipts::latest(postedProblem(problem, false)) : std::nullopt;
    return receipt ? receipt->summary() : QString();
}

void Oxbell::downloadGradingScript()
{
    downloadScript(runningItem, false);
}

void Oxbell::checkServersBeforeTurnIn()
{
    const QStringList needed
        = runningItem ? problemSummary(runningItem->data(0, Qt::UserRole).toMap()).servers : QStringList();
    const QVariantMap configured = userSettings.value(JsonKey::servers).toMap();
    // Without any server configured the download says so itself.
    if (needed.isEmpty() || configured.isEmpty()) {
        downloadGradingScript();
        return;
    }
    QList<ServerCheck::Server> servers;
    for (const QString& name : needed) {
        const QVariantMap server = configured.value(name).toMap();
        servers.append({name, configured.contains(name), server.value(JsonKey::address).toString(),
                        server.value(JsonKey::port).toString()});
    }
    TurnIn& run = turnIn ? *turnIn : startTurnIn();
    run.serverCheck = new ServerCheck(servers, serverCheckTimeoutMs, &run);
    connect(run.serverCheck, &ServerCheck::finished, this, &Oxbell::serversChecked);
}

void Oxbell::serversChecked(const QStringList& unreachable)
{
    if (sender())
        sender()->deleteLater();
    // The run was called off while its servers were being tried.
    if (!turnIn || sender() != turnIn->serverCheck || runState != RunState::Grading || !runningItem)
        return;
    if (!unreachable.isEmpty()) {
        const ProblemSummary summary = problemSummary(runningItem->data(0, Qt::UserRole).toMap());
        const QString question = listed(unreachable)
            + QStringLiteral(" cannot be reached. Turn in anyway? A turn-in uses one of your attempts")
            + (summary.attemptsLeft >= 0
                   ? QStringLiteral(" (%1 of %2 left)").arg(summary.attemptsLeft).arg(summary.maxAttempts.toString())
                   : QString())
            + QLatin1Char('.');
        qDebug() << "Servers not reached before a turn-in:" << unreachable;
        if (!confirmTurnIn(question)) {
            endTurnIn();
            runState = RunState::None;
            scriptFailed();
            return;
        }
    }
    downloadGradingScript();
}

bool Oxbell::sendKeptResult(QTreeWidgetItem* problem)
{
    if (refuseWhileRunning(RunState::Grading, runningItem ? runningItem->text(0) : QString()))
        return false;
    std::optional<KeptResult> kept = Receipts::kept(postedProblem(problem, false));
    std::optional<KeptResult> test = Receipts::kept(postedProblem(problem, true));
    if (kept && test)
        (kept->keptAt >= test->keptAt ? test : kept).reset();
    runState = RunState::Grading;
    runningItem = problem;
    TurnIn& run = startTurnIn();
    run.toSend = kept ? kept : test;
    if (!run.toSend) {
        endTurnIn();
        endRunFailed(QStringLiteral("No result of ") + (problem ? problem->text(0) : QString())
                     + QStringLiteral(" is kept to be sent again."));
        return true;
    }
    testMode = run.toSend->post.test;
    clearFeedback();
    // A test uses no attempt: whether the first one arrived changes nothing.
    if (testMode) {
        scriptState = run.toSend->state;
        postGrade(runningItem);
        return true;
    }
    sendSessionRequest(SessionRequest::get(CheckingAttempts, QStringLiteral("/grades")));
    return true;
}

void Oxbell::attemptsChecked(QNetworkReply* reply)
{
    if (!turnIn || !turnIn->toSend)
        return;
    const KeptResult kept = *turnIn->toSend;
    const QJsonDocument document = QJsonDocument::fromJson(readDecrypted(reply));
    const QJsonObject problem = catalogueProblem(document.object(), kept.post);
    if (problem.isEmpty()) {
        gradeFailed(QStringLiteral("The catalogue does not tell whether the first turn-in arrived."), true);
        return;
    }
    QVariantMap standing = problem.toVariantMap();
    const ProblemSummary summary = problemSummary(standing);
    if (summary.attempts.toDouble() <= kept.attemptsBefore.toDouble()) {
        const QString closed = turnInClosed(summary);
        requestState = Idle;
        if (!closed.isEmpty()) {
            Receipts::drop(kept.post);
            endTurnIn();
            endRunFailed(keptDroppedText(runningItem ? runningItem->text(0) : kept.post.displayName, closed));
            return;
        }
        scriptState = kept.state;
        postGrade(runningItem);
        return;
    }

    // The first post was recorded; its answer was what got lost.
    turnIn->recordArrived(standing);
    endTurnIn();
    const QString used = summary.attempts.toString()
        + (summary.attemptsLeft >= 0 ? QStringLiteral(" of ") + summary.maxAttempts.toString() : QString());
    standing.insert(JsonKey::feedback,
                    QVariantList{QVariantList{
                        QStringLiteral("Your earlier turn-in arrived"),
                        QStringLiteral("The server recorded it: grade %1/%2, attempts used %3. It was not sent again.")
                            .arg(summary.earned.toString(), summary.possible.toString(), used)}});
    requestState = Idle;
    runState = RunState::None;
    showGradeResult(standing);
}
