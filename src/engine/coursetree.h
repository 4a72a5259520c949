#pragma once

#include <QJsonObject>
#include <QList>

class QTreeWidgetItem;

// The course catalogue as a tree of course, week, section and step items; the caller owns the
// returned course items. Section and step items carry their problem map under Qt::UserRole.
QList<QTreeWidgetItem*> buildCourseTree(const QJsonObject& catalogue);

// Number of ancestors of an item.
int itemDepth(const QTreeWidgetItem* item);
