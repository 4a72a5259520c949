#include "support/enginesession.h"

#include "support/practiceserver.h"
#include "support/timeouts.h"

#include <QTest>
#include <QTreeWidgetItem>

namespace enginesession {

bool waitForHook(TestEngine& engine, const QString& hook, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return engine.callsOf(hook).size() >= count; }, timeoutMs);
}

bool start(TestEngine& engine, const QString& url, bool untilReady)
{
    if (!PracticeServer::writeAppSettings(engine.settingsDir(), url))
        return false;
    engine.start();
    if (!untilReady)
        return true;
    return QTest::qWaitFor(
               [&] {
                   return engine.called(QStringLiteral("loginStateChanged"))
                       || engine.called(QStringLiteral("errorMessage"));
               },
               testWaitMs)
        && !engine.called(QStringLiteral("errorMessage"));
}

bool login(TestEngine& engine, const QString& email, const QString& password)
{
    const int before = engine.callsOf(QStringLiteral("loginStateChanged")).size();
    engine.login(email, password);
    if (!waitForHook(engine, QStringLiteral("loginStateChanged"), before + 1))
        return false;
    return engine.callsOf(QStringLiteral("loginStateChanged")).last().arguments.value(0).toInt() == 1;
}

QTreeWidgetItem* problemItem(const QString& course, const QString& week, const QString& section, const QString& problem)
{
    auto* item = new QTreeWidgetItem(QTreeWidgetItem::Type);
    item->setText(0, problem);
    item->setData(0, Qt::UserRole,
                  QVariantMap{{QStringLiteral("course"), course},
                              {QStringLiteral("week"), week},
                              {QStringLiteral("section"), section},
                              {QStringLiteral("problem"), problem}});
    return item;
}

QTreeWidgetItem* demoWarmupItem()
{
    return problemItem(QStringLiteral("OxbellX/DB101/2026_Fall"), QStringLiteral("week0"), QStringLiteral("warmup"),
                       QStringLiteral("setup"));
}

}
