#include "engine/coursetree.h"
#include "engine/names.h"

#include <QCborMap>
#include <QCborValue>
#include <QJsonArray>
#include <QJsonValue>
#include <QTreeWidgetItem>
#include <QVector>

#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

namespace {

QString courseText(const QString& key)
{
    const QVector<QStringRef> parts = key.splitRef(QLatin1Char('/'));
    // Without both a name and a title part, the key itself is the most useful thing to show.
    if (parts.size() < 3)
        return key;
    QString title = parts.at(2).toString();
    title.replace(QLatin1Char('_'), QLatin1Char(' '));
    return parts.at(1).toString() + QLatin1String(" - ") + title;
}

QVariantMap toVariantMap(const QJsonObject& object);

// Numbers always become doubles and null no value at all, whatever the parser kept: the front ends
// read them that way.
QVariant toVariant(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double:
        return value.toDouble();
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        QVariantList list;
        list.reserve(array.size());
        for (const QJsonValue& element : array)
            list.append(toVariant(element));
        return list;
    }
    case QJsonValue::Object:
        return toVariantMap(value.toObject());
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return {};
}

QVariantMap toVariantMap(const QJsonObject& object)
{
    QVariantMap map;
    // The object's keys come sorted, so each member goes at the end.
    for (auto member = object.begin(); member != object.end(); ++member)
        map.insert(map.cend(), member.key(), toVariant(member.value()));
    return map;
}

// A member's value by the same rule, read where the catalogue keeps it: no copy is made on the way.
QVariant toVariant(const QCborValue& value)
{
    switch (value.type()) {
    case QCborValue::Integer:
    case QCborValue::Double:
        return value.toDouble();
    case QCborValue::True:
        return true;
    case QCborValue::False:
        return false;
    case QCborValue::String:
        return value.toString();
    case QCborValue::Array:
    case QCborValue::Map:
        return toVariant(value.toJsonValue());
    default:
        return {};
    }
}

struct Problem {
    QVariantMap map;
    QString displayName;
    bool complete = false;
};

// Member names of the problems converted so far, by position, as the catalogue stores them and as
// text. A catalogue's problems mostly have the same members: a name found here is shared instead
// of being made anew for every problem.
class MemberNames {
public:
    const QString& at(int index, const QCborValue& name)
    {
        if (index < stored.size() && stored.at(index) == name)
            return text.at(index);
        if (index >= stored.size()) {
            stored.resize(index + 1);
            text.resize(index + 1);
        }
        stored[index] = name;
        text[index] = name.toString();
        return text.at(index);
    }

private:
    QVector<QCborValue> stored;
    QVector<QString> text;
};

// Key order. Member names mostly differ in their first letter, which settles it without a call
// into the full comparison.
bool keyBefore(const QString& key, const QString& other)
{
    if (!key.isEmpty() && !other.isEmpty() && key.front() != other.front())
        return key.front() < other.front();
    return key < other;
}

// A problem's map, converted in one pass. Members come in key order, and so do the identifiers
// that replace members of the same name, so every entry is appended rather than searched for.
Problem convertProblem(const QJsonObject& object, const QString& course, const QString& week, const QString& section,
                       MemberNames& names)
{
    const QString* const idKeys[] = {&JsonKey::complete, &JsonKey::course, &JsonKey::problem, &JsonKey::section, &JsonKey::week};
    constexpr int idCount = std::extent_v<decltype(idKeys)>;
    QVariantMap::iterator ids[idCount];
    int nextId = 0;

    Problem problem;
    QString urlName;
    QVariantMap& map = problem.map;
    // The same storage as the object's, read without making a string of every member name.
    const QCborMap members = QCborMap::fromJsonObject(object);
    int index = 0;
    for (auto member = members.constBegin(); member != members.constEnd(); ++member, ++index) {
        const QString& key = names.at(index, member.key());
        const QCborValue value = member.value();
        QVariant converted;
        // The two names are needed apart from the map too: converted once, held by both.
        if (key == JsonKey::displayName && value.isString()) {
            problem.displayName = value.toString();
            converted = problem.displayName;
        } else if (key == JsonKey::urlName && value.isString()) {
            urlName = value.toString();
            converted = urlName;
        } else {
            if (key == JsonKey::complete)
                problem.complete = value.isTrue();
            converted = toVariant(value);
        }

        bool replaced = false;
        for (; nextId < idCount && !keyBefore(key, *idKeys[nextId]); ++nextId) {
            replaced = key == *idKeys[nextId];
            ids[nextId] = map.insert(map.cend(), *idKeys[nextId], QVariant());
        }
        if (!replaced)
            map.insert(map.cend(), key, converted);
    }
    for (; nextId < idCount; ++nextId)
        ids[nextId] = map.insert(map.cend(), *idKeys[nextId], QVariant());

    *ids[0] = problem.complete;
    *ids[1] = course;
    *ids[2] = urlName;
    *ids[3] = section;
    *ids[4] = week;
    return problem;
}

void buildSection(QTreeWidgetItem* weekItem, const QJsonObject& section, const QString& course, const QString& week,
                  MemberNames& names)
{
    auto* sectionItem = new QTreeWidgetItem(weekItem);
    const QString sectionName = section.value(JsonKey::urlName).toString();
    const bool multistep = section.value(JsonKey::multistep).toBool();
    const QJsonArray problems = section.value(JsonKey::problems).toArray();

    if (!multistep) {
        // The section item stands for its last problem; earlier problems leave no trace, so only
        // the last one is converted.
        QVariantMap sectionMap;
        QString text = section.value(JsonKey::displayName).toString();
        if (!problems.isEmpty()) {
            Problem last = convertProblem(problems.last().toObject(), course, week, sectionName, names);
            sectionMap = std::move(last.map);
            text = last.displayName;
        }
        sectionMap.insert(JsonKey::multistep, false);
        sectionMap.insert(JsonKey::problems, QVariantList());
        sectionItem->setText(0, text);
        sectionItem->setData(0, Qt::UserRole, sectionMap);
        return;
    }

    sectionItem->setText(0, section.value(JsonKey::displayName).toString());
    QVariantList steps;
    steps.reserve(problems.size());
    bool previousComplete = true;
    for (const QJsonValue& value : problems) {
        const Problem problem = convertProblem(value.toObject(), course, week, sectionName, names);
        auto* stepItem = new QTreeWidgetItem(sectionItem);
        // A step opens only once the step right before it is done.
        if (!previousComplete)
            stepItem->setFlags(stepItem->flags() & ~Qt::ItemIsEnabled);
        previousComplete = problem.complete;
        stepItem->setText(0, problem.displayName);
        stepItem->setData(0, Qt::UserRole, problem.map);
        steps.append(QVariant::fromValue(static_cast<void*>(stepItem)));
    }
    const QVariantMap sectionMap{{JsonKey::multistep, true}, {JsonKey::problems, steps}};
    sectionItem->setData(0, Qt::UserRole, sectionMap);
}

} // namespace

QList<QTreeWidgetItem*> buildCourseTree(const QJsonObject& catalogue)
{
    QList<QTreeWidgetItem*> courses;
    MemberNames names;
    for (auto course = catalogue.begin(); course != catalogue.end(); ++course) {
        const QString key = course.key();
        if (key == JsonKey::status)
            continue;
        auto* courseItem = new QTreeWidgetItem(QTreeWidgetItem::Type);
        courseItem->setText(0, courseText(key));
        for (const QJsonValue& weekValue : course.value().toArray()) {
            const QJsonObject week = weekValue.toObject();
            auto* weekItem = new QTreeWidgetItem(courseItem);
            weekItem->setText(0, week.value(JsonKey::displayName).toString());
            const QString weekName = week.value(JsonKey::urlName).toString();
            for (const QJsonValue& section : week.value(JsonKey::sections).toArray())
                buildSection(weekItem, section.toObject(), key, weekName, names);
        }
        courses.append(courseItem);
    }
    return courses;
}

QDateTime problemCloseDate(const QVariantMap& problem)
{
    const double seconds = std::trunc(problem.value(JsonKey::closeDate).toDouble());
    // Beyond a 64-bit count the conversion would be undefined: the nearest count stands for it.
    qint64 whole = 0;
    if (seconds >= 9.2e18)
        whole = std::numeric_limits<qint64>::max();
    else if (seconds <= -9.2e18)
        whole = std::numeric_limits<qint64>::min();
    else if (!std::isnan(seconds))
        whole = qint64(seconds);
    return QDateTime::fromSecsSinceEpoch(qint64(quint32(quint64(whole))));
}

ProblemSummary problemSummary(const QVariantMap& problem, const QDateTime& now)
{
    ProblemSummary summary;
    summary.closeDate = problemCloseDate(problem);
    summary.selfPaced = summary.closeDate == QDateTime::fromSecsSinceEpoch(0);
    summary.attempts = problem.value(JsonKey::attempts);
    summary.maxAttempts = problem.value(JsonKey::maxAttempts);
    summary.earned = problem.value(JsonKey::earned);
    summary.possible = problem.value(JsonKey::possible);
    summary.turnInOffered = summary.attempts.toString() != summary.maxAttempts.toString()
        && (summary.selfPaced || now < summary.closeDate);
    bool limited = false;
    const double limit = summary.maxAttempts.toDouble(&limited);
    if (limited && limit >= 1 && limit <= std::numeric_limits<int>::max())
        summary.attemptsLeft = qMax(0, int(limit) - int(qBound(0.0, summary.attempts.toDouble(), limit)));
    for (const QVariant& name : problem.value(JsonKey::servers).toList()) {
        if (!name.toString().isEmpty())
            summary.servers.append(name.toString());
    }
    return summary;
}

int itemDepth(const QTreeWidgetItem* item)
{
    int depth = 0;
    for (const QTreeWidgetItem* parent = item ? item->parent() : nullptr; parent; parent = parent->parent())
        ++depth;
    return depth;
}
