// Arbitrary bytes as the catalogue reply: the tree must be built without a fault, keep its
// section maps consistent with its items, and be freed completely.
#include "engine/coursetree.h"

#include <QJsonDocument>
#include <QTreeWidgetItem>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// A multistep section lists exactly its step items, in order; any other section has no children.
void checkSection(const QTreeWidgetItem* section)
{
    check(itemDepth(section) == 2);
    const QVariantMap map = section->data(0, Qt::UserRole).toMap();
    const QVariantList steps = map.value(QStringLiteral("problems")).toList();
    if (!map.value(QStringLiteral("multistep")).toBool()) {
        check(steps.isEmpty() && section->childCount() == 0);
        return;
    }
    check(steps.size() == section->childCount());
    for (int i = 0; i < steps.size(); ++i)
        check(steps.at(i).value<void*>() == section->child(i));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    const QList<QTreeWidgetItem*> courses = buildCourseTree(QJsonDocument::fromJson(bytes).object());
    for (const QTreeWidgetItem* course : courses) {
        check(itemDepth(course) == 0 && !course->data(0, Qt::UserRole).isValid());
        for (int w = 0; w < course->childCount(); ++w) {
            const QTreeWidgetItem* week = course->child(w);
            for (int s = 0; s < week->childCount(); ++s)
                checkSection(week->child(s));
        }
    }
    qDeleteAll(courses);
    return 0;
}
