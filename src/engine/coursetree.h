#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
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

// Whether every turn-in of a problem is used: "attempts" and "max_attempts" read as the same
// text. A limit of 0 is the course server's "no limit" and leaves turn-ins open.
bool attemptsUsedUp(const QVariantMap& problem);
