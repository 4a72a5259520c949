#include "engine/oxbell.h"
#include "support/testengine.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTreeWidgetItem>
#include <QtTest>

#include <memory>

namespace {

QJsonObject parse(const QByteArray& json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad test JSON: %s", qPrintable(error.errorString()));
    return document.object();
}

// The course items under one root, as the console and headless front ends keep them.
std::unique_ptr<QTreeWidgetItem> treeOf(const QByteArray& json)
{
    auto root = std::make_unique<QTreeWidgetItem>(QTreeWidgetItem::Type);
    root->addChildren(buildCourseTree(parse(json)));
    return root;
}

// A catalogue of one course, one week and the given sections.
QByteArray catalogueWith(const QByteArray& sections)
{
    return R"({"o/c/r": [{"display_name": "Week 1", "url_name": "w1", "sections": )" + sections + "}]}";
}

QVariantMap mapOf(const QTreeWidgetItem* item)
{
    return item->data(0, Qt::UserRole).toMap();
}

// 'E' for every enabled child of the item, 'D' for every disabled one.
QString enabledPattern(const QTreeWidgetItem* section)
{
    QString pattern;
    for (int i = 0; i < section->childCount(); ++i)
        pattern += section->child(i)->flags() & Qt::ItemIsEnabled ? QLatin1Char('E') : QLatin1Char('D');
    return pattern;
}

const QVariantMap plainSectionMap{{"multistep", false}, {"problems", QVariantList()}};

} // namespace

class TestCourseTree : public QObject {
    Q_OBJECT

private slots:
    void courseItems_data()
    {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("only status") << QStringList{"status"} << QStringList();
        QTest::newRow("status is case-sensitive") << QStringList{"status", "Status"} << QStringList{"Status"};
        QTest::newRow("underscores") << QStringList{"a/b_c/d_e_f"} << QStringList{"b_c - d e f"};
        QTest::newRow("five parts") << QStringList{"o/n_1/r_2/x/y"} << QStringList{"n_1 - r 2"};
        QTest::newRow("empty parts") << QStringList{"a//c", "//"} << QStringList{" - ", " - c"};
        QTest::newRow("short keys") << QStringList{"solo", "", "org/name"} << QStringList{"", "org/name", "solo"};
    }
    void courseItems()
    {
        QFETCH(QStringList, keys);
        QFETCH(QStringList, texts);
        QJsonObject catalogue;
        const QJsonArray weeks{
            QJsonObject{{"sections", QJsonArray{QJsonObject{{"problems", QJsonArray{QJsonObject()}}}}}}};
        for (const QString& key : keys)
            catalogue.insert(key, weeks);
        const QList<QTreeWidgetItem*> courses = buildCourseTree(catalogue);
        const auto cleanup = qScopeGuard([&] { qDeleteAll(courses); });

        QStringList shown;
        QStringList courseEntries;
        for (const QTreeWidgetItem* course : courses) {
            QCOMPARE(course->parent(), nullptr);
            shown.append(course->text(0));
            courseEntries.append(mapOf(course->child(0)->child(0)).value("course").toString());
        }
        QCOMPARE(shown, texts);
        keys.removeAll("status");
        keys.sort();
        QCOMPARE(courseEntries, keys);
    }

    void problemMapAndStructure()
    {
        const auto root = treeOf(catalogueWith(R"([
            {"display_name": "Plain", "url_name": "s1", "problems": [
                {"display_name": "P", "url_name": "p1", "course": "forged", "problem": "forged", "week": 7,
                 "complete": true, "close_date": 1700000000, "tags": ["x", 1], "extra": {"k": null}, "none": null}]},
            {"display_name": "Steps", "url_name": "s2", "multistep": true, "problems": [{"display_name": "S"}]}
        ])"));
        QTreeWidgetItem* course = root->child(0);
        QCOMPARE(course->text(0), QString("c - r"));
        QTreeWidgetItem* week = course->child(0);
        QCOMPARE(week->text(0), QString("Week 1"));
        QVERIFY(!course->data(0, Qt::UserRole).isValid());
        QVERIFY(!week->data(0, Qt::UserRole).isValid());
        QCOMPARE(week->childCount(), 2);

        QTreeWidgetItem* plain = week->child(0);
        QCOMPARE(plain->text(0), QString("P"));
        QCOMPARE(plain->childCount(), 0);
        const QVariantMap expected{{"display_name", "P"},
                                   {"url_name", "p1"},
                                   {"course", "o/c/r"},
                                   {"week", "w1"},
                                   {"section", "s1"},
                                   {"problem", "p1"},
                                   {"complete", true},
                                   {"close_date", 1700000000.0},
                                   {"tags", QVariantList{"x", 1.0}},
                                   {"extra", QVariantMap{{"k", QVariant()}}},
                                   {"none", QVariant()},
                                   {"multistep", false},
                                   {"problems", QVariantList()}};
        QCOMPARE(mapOf(plain), expected);
        QCOMPARE(mapOf(plain).value("close_date").userType(), int(QMetaType::Double));

        QTreeWidgetItem* step = week->child(1)->child(0);
        QCOMPARE(step->text(0), QString("S"));
        const QVariantMap stepMap{{"display_name", "S"}, {"course", "o/c/r"}, {"week", "w1"},
                                  {"section", "s2"},     {"problem", ""},     {"complete", false}};
        QCOMPARE(mapOf(step), stepMap);
    }

    void plainSections_data()
    {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVariantMap>("map");
        QVariantMap second = plainSectionMap;
        second.insert({{"display_name", "Second"},
                       {"url_name", "p2"},
                       {"course", "o/c/r"},
                       {"week", "w1"},
                       {"section", "s"},
                       {"problem", "p2"},
                       {"complete", false}});
        QTest::newRow("last problem stands") << QByteArray(R"({"display_name": "S", "url_name": "s", "problems": [
                   {"display_name": "First", "url_name": "p1", "complete": true, "only_first": 1},
                   {"display_name": "Second", "url_name": "p2", "complete": "yes"}]})")
                                             << "Second" << second;
        QTest::newRow("no problems") << QByteArray(R"({"display_name": "S", "problems": []})") << "S"
                                     << plainSectionMap;
        QTest::newRow("problems not a list")
            << QByteArray(R"({"display_name": "S", "problems": 3})") << "S" << plainSectionMap;
        QVariantMap empty = plainSectionMap;
        empty.insert({{"course", "o/c/r"}, {"week", "w1"}, {"section", ""}, {"problem", ""}, {"complete", false}});
        QTest::newRow("multistep not a bool") << QByteArray(R"({"display_name": "S", "multistep": "true",
                                                  "problems": [7]})")
                                              << "" << empty;
    }
    void plainSections()
    {
        QFETCH(QByteArray, section);
        QFETCH(QString, text);
        QFETCH(QVariantMap, map);
        const auto root = treeOf(catalogueWith("[" + section + "]"));
        const QTreeWidgetItem* item = root->child(0)->child(0)->child(0);
        QCOMPARE(item->text(0), text);
        QCOMPARE(item->childCount(), 0);
        QCOMPARE(mapOf(item), map);
    }

    void steps_data()
    {
        QTest::addColumn<QByteArray>("problems");
        QTest::addColumn<QString>("enabled");
        QTest::newRow("false true false")
            << QByteArray(R"([{"complete": false}, {"complete": true}, {"complete": false}])") << "EDE";
        QTest::newRow("only the predecessor counts")
            << QByteArray(R"([{"complete": true}, {"complete": false}, {"complete": false}, {"complete": true}, {}])")
            << "EEDDE";
        QTest::newRow("missing or odd complete") << QByteArray(R"([{}, {"complete": "true"}, {}])") << "EDD";
        QTest::newRow("no steps") << QByteArray("[]") << "";
    }
    void steps()
    {
        QFETCH(QByteArray, problems);
        QFETCH(QString, enabled);
        const auto root = treeOf(catalogueWith(R"([{"display_name": "M", "url_name": "m", "multistep": true,
                                                    "problems": )"
                                               + problems + "}]"));
        const QTreeWidgetItem* section = root->child(0)->child(0)->child(0);
        QCOMPARE(section->text(0), QString("M"));
        QCOMPARE(enabledPattern(section), enabled);

        const QVariantMap map = mapOf(section);
        QCOMPARE(map.keys(), (QStringList{"multistep", "problems"}));
        QCOMPARE(map.value("multistep"), QVariant(true));
        const QVariantList steps = map.value("problems").toList();
        QCOMPARE(steps.size(), section->childCount());
        for (int i = 0; i < steps.size(); ++i) {
            QCOMPARE(steps.at(i).userType(), int(QMetaType::VoidStar));
            QCOMPARE(steps.at(i).value<void*>(), static_cast<void*>(section->child(i)));
        }
    }

    void merge_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QVariantMap>("result");
        QTest::addColumn<QVariantMap>("fields");
        QTest::addColumn<QString>("alert");
        QTest::addColumn<QString>("enabled");
        const QVariantMap full{{"attempts", 1.0}, {"max_attempts", 3.0}, {"earned", 0.5},
                               {"possible", 1.0}, {"complete", true},    {"feedback", QVariantList()}};
        const QVariantMap fullFields{
            {"attempts", "1"}, {"max_attempts", "3"}, {"earned", "0.5"}, {"possible", "1"}, {"complete", true}};
        QVariantMap failed = full;
        failed.insert("complete", false);
        QVariantMap failedFields = fullFields;
        failedFields.insert("complete", false);
        const QVariantMap emptyFields{
            {"attempts", ""}, {"max_attempts", ""}, {"earned", ""}, {"possible", ""}, {"complete", true}};

        QTest::newRow("unlocks next") << "B" << full << fullFields << "You can now move on to Step C"
                                      << "EEE";
        QTest::newRow("next already open") << "A" << full << fullFields << ""
                                           << "EED";
        QTest::newRow("last step") << "C" << full << fullFields << ""
                                   << "EED";
        QTest::newRow("not complete") << "B" << failed << failedFields << ""
                                      << "EED";
        QTest::newRow("missing fields") << "B" << QVariantMap{{"complete", true}} << emptyFields
                                        << "You can now move on to Step C"
                                        << "EEE";
        QTest::newRow("plain section") << "Plain" << full << fullFields << ""
                                       << "EED";
    }
    void merge()
    {
        QFETCH(QString, target);
        QFETCH(QVariantMap, result);
        QFETCH(QVariantMap, fields);
        QFETCH(QString, alert);
        QFETCH(QString, enabled);
        const auto root = treeOf(catalogueWith(R"([
            {"display_name": "Steps", "url_name": "m", "multistep": true, "problems": [
                {"display_name": "Step A", "url_name": "a", "complete": true},
                {"display_name": "Step B", "url_name": "b", "attempts": 0},
                {"display_name": "Step C", "url_name": "c"}]},
            {"display_name": "Plain", "url_name": "p", "problems": [{"display_name": "Plain", "url_name": "p"}]}])"));
        QTreeWidgetItem* week = root->child(0)->child(0);
        QTreeWidgetItem* steps = week->child(0);
        QTreeWidgetItem* item = week->child(1);
        for (int i = 0; i < steps->childCount(); ++i) {
            if (steps->child(i)->text(0) == "Step " + target)
                item = steps->child(i);
        }

        TestEngine engine;
        const QVariantMap before = mapOf(item);
        QVariantMap map = before;
        engine.mergeGradeResult(map, result, item);

        QVariantMap expected = before;
        expected.insert(fields);
        QCOMPARE(map, expected);
        QStringList alerts;
        for (const TestEngine::Call& call : engine.callsOf("alert"))
            alerts.append(call.arguments.value(0).toString());
        QCOMPARE(alerts, alert.isEmpty() ? QStringList() : QStringList{alert});
        QCOMPARE(engine.calls.size(), alerts.size());
        QCOMPARE(enabledPattern(steps), enabled);
    }

    // The section map may not be what the tree was built with; none of these may crash or unlock.
    void mergeWithUntrustedSectionMap_data()
    {
        QTest::addColumn<QVariant>("problems");
        QTest::newRow("null entry") << QVariant(QVariantList{QVariant(), QVariant::fromValue<void*>(nullptr)});
        QTest::newRow("list too short") << QVariant(QVariantList{QVariant()});
        QTest::newRow("not a list") << QVariant("steps");
        // Stands for a list whose successor entry points to an item outside the section.
        QTest::newRow("foreign item") << QVariant();
    }
    void mergeWithUntrustedSectionMap()
    {
        QFETCH(QVariant, problems);
        const auto root = treeOf(catalogueWith(R"([{"url_name": "m", "multistep": true,
                                                   "problems": [{"complete": true}, {}, {}]}])"));
        QTreeWidgetItem* section = root->child(0)->child(0)->child(0);
        QTreeWidgetItem foreign;
        foreign.setFlags(foreign.flags() & ~Qt::ItemIsEnabled);
        if (!problems.isValid())
            problems = QVariantList{QVariant(), QVariant::fromValue(static_cast<void*>(&foreign))};
        section->setData(0, Qt::UserRole, QVariantMap{{"multistep", true}, {"problems", problems}});
        // Make the real successor lockable again, so an unlock through the map would show.
        section->child(1)->setFlags(section->child(1)->flags() & ~Qt::ItemIsEnabled);

        TestEngine engine;
        QVariantMap map;
        engine.mergeGradeResult(map, {{"complete", true}}, section->child(0));
        QCOMPARE(map.value("complete"), QVariant(true));
        QVERIFY(engine.calls.isEmpty());
        QVERIFY(!(foreign.flags() & Qt::ItemIsEnabled));
        QCOMPARE(enabledPattern(section), QString("EDD"));
    }

    void mergeWithoutParent()
    {
        const auto root = treeOf(catalogueWith("[]"));
        TestEngine engine;
        QVariantMap map;
        engine.mergeGradeResult(map, {{"complete", true}}, nullptr);
        engine.mergeGradeResult(map, {{"complete", true}}, root.get());
        QCOMPARE(map.value("complete"), QVariant(true));
        QVERIFY(engine.calls.isEmpty());
    }

    // Turn in is offered exactly when the two attempt texts differ, and only while the problem is
    // open; the second column is the map as the catalogue or a merged grade result leaves it.
    void turnInOffered_data()
    {
        QTest::addColumn<QVariantMap>("problem");
        QTest::addColumn<bool>("offered");
        const double now = double(QDateTime::currentSecsSinceEpoch());
        QTest::newRow("attempts left") << QVariantMap{{"attempts", 1.0}, {"max_attempts", 3.0}} << true;
        QTest::newRow("used up") << QVariantMap{{"attempts", 3.0}, {"max_attempts", 3.0}} << false;
        QTest::newRow("used up, merged") << QVariantMap{{"attempts", "3"}, {"max_attempts", 3.0}} << false;
        QTest::newRow("0 of 0") << QVariantMap{{"attempts", 0.0}, {"max_attempts", 0.0}} << false;
        QTest::newRow("both keys missing") << QVariantMap() << false;
        QTest::newRow("unlimited") << QVariantMap{{"attempts", 7.0}, {"max_attempts", "unlimited"}} << true;
        QTest::newRow("closed") << QVariantMap{{"attempts", 0.0}, {"max_attempts", 3.0}, {"close_date", now - 60}}
                                << false;
        QTest::newRow("open") << QVariantMap{{"attempts", 0.0}, {"max_attempts", 3.0}, {"close_date", now + 60}}
                              << true;
    }
    void turnInOffered()
    {
        QFETCH(QVariantMap, problem);
        QFETCH(bool, offered);
        QCOMPARE(problemSummary(problem).turnInOffered, offered);
    }

    void depth()
    {
        const QList<QTreeWidgetItem*> courses
            = buildCourseTree(parse(catalogueWith(R"([{"multistep": true, "problems": [{}]}])")));
        QCOMPARE(itemDepth(courses.value(0)), 0);
        QTreeWidgetItem root;
        root.addChildren(courses);
        const QTreeWidgetItem* step = root.child(0)->child(0)->child(0)->child(0);
        QCOMPARE(itemDepth(root.child(0)), 1);
        QCOMPARE(itemDepth(step), 4);
        QCOMPARE(itemDepth(nullptr), 0);
    }
};

QTEST_GUILESS_MAIN(TestCourseTree)
#include "tst_coursetree.moc"
