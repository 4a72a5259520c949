// A run on a problem from the front end's side: its start, the grade post after a clean end, and
// the server's grade result.

#include "engine/names.h"
#include "engine/oxbell.h"
#include "engine/servercheck.h"

#include <QTreeWidgetItem>

bool Oxbell::startProblemRun(RunKind kind, QTreeWidgetItem* problem)
{
    const int state = kind == RunKind::Init ? RunState::Init : RunState::Grading;
    // The problem named is the one whose run is under way, which need not be the one asked for.
    if (refuseWhileRunning(state, runningItem ? runningItem->text(0) : QString()))
        return false;
    if (kind != RunKind::Init)
        testMode = kind == RunKind::Test;
    runState = state;
    runningItem = problem;
    keptToSend.reset();
    delete serverCheck;
    if (kind == RunKind::Init)
        downloadScript(problem, true);
    else if (kind == RunKind::TurnIn)
        checkServersBeforeTurnIn();
    else
        downloadGradingScript();
    return true;
}

void Oxbell::postRunGrade()
{
    postGrade(runningItem);
}

void Oxbell::addResultFeedback(const QVariantMap& result)
{
    for (const QVariant& entry : result.value(JsonKey::feedback).toList()) {
        const QVariantList pair = entry.toList();
        addFeedback(pair.value(0).toString(), pair.value(1).toString());
    }
}

void Oxbell::applyGradeResult(const QVariantMap& result)
{
    addResultFeedback(result);
    if (!runningItem)
        return;
    QVariantMap problem = runningItem->data(0, Qt::UserRole).toMap();
    if (!testMode)
        mergeGradeResult(problem, result, runningItem);
    runningItem->setData(0, Qt::UserRole, problem);
}
