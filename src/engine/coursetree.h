#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QStringList>
#include <QVariantMap>

class QTreeWidgetItem;

// The course catalogue as a tree of course, week, section and step items; the caller owns the
// returned course items. Section and step items carry their problem map under Qt::UserRole.
QList<QTreeWidgetItem*> buildCourseTree(const QJsonObject& catalogue);

// Number of ancestors of an item.
int itemDepth(const QTreeWidgetItem* item);

// A problem's close date: "close_date" seconds since 1970 UTC, kept to their low 32 bits as the
// course server's clients always have; the epoch itself means self paced. A value beyond a
// 64-bit count reads as the nearest count; no number at all reads as 0.
QDateTime problemCloseDate(const QVariantMap& problem);

// What every front end shows of a problem, and whether it offers the problem to be turned in.
// The values are the map's own; each front end writes them its own way.
struct ProblemSummary {
    QDateTime closeDate; // problemCloseDate()
    bool selfPaced = false; // the close date is the epoch: the problem has no due date
    QVariant attempts;
    QVariant maxAttempts;
    QVariant earned;
    QVariant possible;
    // The texts of "attempts" and "max_attempts" differ, and the problem is self paced or not yet
    // closed at `now`. A course server writes a limit that is never reached, such as "unlimited",
    // for a problem without one.
    bool turnInOffered = false;
    // Turn-ins left: the limit less the attempts used, when the limit is a number above 0; -1 when
    // there is no limit.
    int attemptsLeft = -1;
    // The names of the student's servers that the problem's grading script needs ("servers").
    QStringList servers;
};

ProblemSummary problemSummary(const QVariantMap& problem, const QDateTime& now = QDateTime::currentDateTime());
