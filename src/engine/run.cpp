// A run on a problem from the front end's side: its start, the grade post after a clean end, and
// the server's grade result.

#include "engine/names.h"
#include "engine/oxbell.h"
#include "engine/turnin.h"

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
    if (kind != RunKind::Init)
        startTurnIn();
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

void Oxbell::mergeGradeResult(QVariantMap& problemMap, const QVariantMap& result, QTreeWidgetItem* problemItem)
{
    for (const QString& key : {JsonKey::attempts, JsonKey::maxAttempts, JsonKey::earned, JsonKey::possible})
        problemMap.insert(key, result.value(key).toString());
    const bool complete = result.value(JsonKey::complete).toBool();
    problemMap.insert(JsonKey::complete, complete);
    if (!complete || !problemItem)
        return;

    QTreeWidgetItem* section = problemItem->parent();
    if (!section)
        return;
    const QVariantMap sectionMap = section->data(0, Qt::UserRole).toMap();
    if (!sectionMap.value(JsonKey::multistep).toBool())
        return;
    const QVariantList steps = sectionMap.value(JsonKey::problems).toList();
    const int next = section->indexOfChild(problemItem) + 1;
    if (next >= steps.size())
        return;
    auto* nextItem = static_cast<QTreeWidgetItem*>(steps.at(next).value<void*>());
    // The map may have been rewritten since the tree was built: only a step that is still one of
    // this section's items is touched.
    if (!nextItem || section->indexOfChild(nextItem) < 0)
        return;
    if (nextItem->flags() & Qt::ItemIsEnabled)
        return;
    nextItem->setFlags(nextItem->flags() | Qt::ItemIsEnabled);
    alert(QStringLiteral("You can now move on to ")
          + nextItem->data(0, Qt::UserRole).toMap().value(JsonKey::displayName).toString());
}
