// The console's numbered menus over the course tree, and the runs they start.

#include "frontend/console.h"

#include "engine/names.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTreeWidgetItem>

#include <iostream>

namespace frontend {

namespace {

QString textOf(const QTreeWidgetItem* item)
{
    return item ? item->text(0) : QString();
}

QString numberText(const QVariant& value)
{
    return QString::number(value.toDouble(), 'g', 6);
}

} // namespace

QString Console::levelName(int depth)
{
    switch (depth) {
    case 0:
        return QStringLiteral("Courses");
    case 1:
        return QStringLiteral("Weeks");
    case 2:
        return QStringLiteral("Assignments");
    case 3:
        return QStringLiteral("Problems");
    default:
        return QStringLiteral("UNKNOWN");
    }
}

int Console::letterCode(const QString& text)
{
    static const QHash<QString, int> codes{{QStringLiteral("b"), Back},     {QStringLiteral("h"), Home},
                                           {QStringLiteral("e"), Exit},     {QStringLiteral("r"), Refresh},
                                           {QStringLiteral("t"), Test},     {QStringLiteral("i"), Initialize},
                                           {QStringLiteral("s"), SendAgain}};
    return codes.value(text, 0);
}

QString Console::promptPath() const
{
    QStringList path;
    for (const QTreeWidgetItem* item = currentItem; item && item->parent(); item = item->parent())
        path.prepend(item->text(0));
    return path.join(QLatin1Char('/')) + QLatin1Char('>');
}

int Console::getChoice(const QList<int>& numbers, const QStringList& letters)
{
    const QString prompt = currentItem && currentItem->parent() ? promptPath() : QStringLiteral("Choose an option>");
    for (;;) {
        out << prompt << ' ';
        std::cout.flush();
        const QString line = readLine();
        bool isNumber = false;
        const int number = line.toInt(&isNumber, 10);
        if (isNumber) {
            if (numbers.contains(number))
                return number;
        } else if (letters.contains(line)) {
            return letterCode(line);
        }
        out << "Invalid choice" << GuardedStream::endLine;
    }
}

void Console::showLevelMenu(QTreeWidgetItem* item)
{
    walkMenus(levelMenu(item));
}

void Console::showProblemMenu(QTreeWidgetItem* item)
{
    walkMenus(problemMenu(item));
}

void Console::walkMenus(QTreeWidgetItem* item)
{
    while (item)
        item = item == rootItem || item->childCount() > 0 ? levelMenu(item) : problemMenu(item);
}

QTreeWidgetItem* Console::levelMenu(QTreeWidgetItem* item)
{
    currentItem = item;
    out << GuardedStream::endLine << levelName(itemDepth(item)) << GuardedStream::endLine;

    QList<int> numbers;
    for (int position = 0; position < item->childCount(); ++position) {
        const QTreeWidgetItem* child = item->child(position);
        if (child->flags() & Qt::ItemIsEnabled) {
            out << position + 1 << ": " << child->text(0) << GuardedStream::endLine;
            numbers.append(position + 1);
        } else {
            out << child->text(0) << " (Not Available Yet)" << GuardedStream::endLine;
        }
    }
    QStringList letters;
    if (item->parent()) {
        out << "b: Go back" << GuardedStream::endLine << "h: Go home" << GuardedStream::endLine;
        letters = QStringList{QStringLiteral("b"), QStringLiteral("h")};
    } else {
        out << "r: Refresh Grades" << GuardedStream::endLine << "e: Exit" << GuardedStream::endLine;
        letters = QStringList{QStringLiteral("r"), QStringLiteral("e")};
    }

    const int choice = getChoice(numbers, letters);
    out << GuardedStream::endLine;
    switch (choice) {
    case Refresh:
        loadCourses();
        return nullptr;
    case Exit:
        QCoreApplication::exit(0);
        return nullptr;
    case Home:
        return rootItem;
    case Back:
        return item->parent();
    default:
        return item->child(choice - 1);
    }
}

QTreeWidgetItem* Console::problemMenu(QTreeWidgetItem* item)
{
    currentItem = item;
    const QVariantMap map = item->data(0, Qt::UserRole).toMap();

    const QTreeWidgetItem* parent = item->parent();
    out << textOf(parent ? parent->parent() : nullptr) << GuardedStream::endLine << textOf(parent)
        << GuardedStream::endLine << item->text(0) << GuardedStream::endLine << GuardedStream::endLine;

    const ProblemSummary summary = problemSummary(map);
    if (summary.selfPaced)
        out << "Self Paced" << GuardedStream::endLine;
    else
        out << "Due Date: " << summary.closeDate.toString(QStringLiteral("MM/dd/yy")) << GuardedStream::endLine;
    out << "Attempts: " << numberText(summary.attempts) << '/' << numberText(summary.maxAttempts)
        << GuardedStream::endLine;
    out << "Grade: " << numberText(summary.earned) << '/' << numberText(summary.possible) << GuardedStream::endLine;
    const QString receipt = lastReceiptLine(item);
    if (!receipt.isEmpty())
        out << receipt << GuardedStream::endLine;
    const QString dropped = dropUnsendableKeptResult(item);
    if (!dropped.isEmpty())
        out << dropped << GuardedStream::endLine;
    out << GuardedStream::endLine;

    QList<int> numbers;
    if (summary.turnInOffered) {
        out << "1: Grade" << GuardedStream::endLine;
        numbers.append(1);
    }
    QStringList letters{QStringLiteral("h"), QStringLiteral("b"), QStringLiteral("t")};
    if (hasKeptResult(item)) {
        letters.append(QStringLiteral("s"));
        out << "s: Send the last result again" << GuardedStream::endLine;
    }
    if (map.value(JsonKey::hasInit).toBool()) {
        letters.append(QStringLiteral("i"));
        out << "i: Initialize" << GuardedStream::endLine;
    }
    out << "t: Test" << GuardedStream::endLine << "b: Go back" << GuardedStream::endLine << "h: Go home"
        << GuardedStream::endLine << GuardedStream::endLine;

    switch (getChoice(numbers, letters)) {
    case Test:
        startRun(true);
        return nullptr;
    case Initialize:
        startInit();
        return nullptr;
    case SendAgain:
        sendKeptResult(currentItem);
        return nullptr;
    case Back:
        return currentItem->parent();
    case Home:
        return rootItem;
    default:
        startRun(false);
        return nullptr;
    }
}

void Console::startRun(bool test)
{
    startProblemRun(test ? RunKind::Test : RunKind::TurnIn, currentItem);
}

void Console::startInit()
{
    startProblemRun(RunKind::Init, currentItem);
}

void Console::coursesLoaded(const QJsonObject& catalogue)
{
    delete rootItem;
    // They pointed into the tree just deleted. No run is under way: a catalogue is only asked for
    // from the course menu and at login.
    currentItem = nullptr;
    forgetRunningItem();
    rootItem = new QTreeWidgetItem(QTreeWidgetItem::Type);
    rootItem->addChildren(buildCourseTree(catalogue));
    showLevelMenu(rootItem);
}

void Console::showGradeResult(const QVariantMap& result)
{
    applyGradeResult(result);
    out << modePast[testMode] << GuardedStream::endLine;
    showProblemMenu(runningItem);
}

void Console::scriptFailed()
{
    showProblemMenu(runningItem);
}

void Console::gradingFinished()
{
    postRunGrade();
}

void Console::initCompleted()
{
    out << "Initialized" << GuardedStream::endLine;
    showProblemMenu(runningItem);
}

}
