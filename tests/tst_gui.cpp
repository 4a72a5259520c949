#include "frontend/gui.h"
#include "support/apphome.h"
#include "support/practiceserver.h"
#include "support/timeouts.h"

#include <QAccessible>
#include <QClipboard>
#include <QDialog>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTcpServer>
#include <QToolTip>
#include <QTreeWidget>
#include <QtTest>
#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/resource.h>

// The window front end with its widgets in reach.
class GuiUnderTest : public frontend::GUI {
public:
    GuiUnderTest()
        : GUI(nullptr)
    {
    }
    using GUI::addServerButton;
    using GUI::applyButton;
    using GUI::attemptsLabel;
    using GUI::cancelButton;
    using GUI::checkSetupButton;
    using GUI::closeButton;
    using GUI::courseTree;
    using GUI::deleteServerButton;
    using GUI::dueDateLabel;
    using GUI::emailEdit;
    using GUI::feedbackTree;
    using GUI::gradeButton;
    using GUI::gradeLabel;
    using GUI::heading1Label;
    using GUI::heading3Label;
    using GUI::initButton;
    using GUI::loginButton;
    using GUI::mainWindow;
    using GUI::nextServerNumber;
    using GUI::passwordEdit;
    using GUI::promptLabel;
    using GUI::receiptLabel;
    using GUI::refreshButton;
    using GUI::runState;
    using GUI::saveButton;
    using GUI::sendAgainButton;
    using GUI::serverAddressEdit;
    using GUI::serverList;
    using GUI::serverNameEdit;
    using GUI::serverPortEdit;
    using GUI::settingsButton;
    using GUI::settingsWindow;
    using GUI::statusBar;
    using GUI::testButton;
    using GUI::userSettings;
};

class TestGui : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void largeTextGrowsLoginWindow();
    void loginSession();
    void widgetStates_data();
    void widgetStates();
    void runSession();
    void newVersionBox();
    void settingsSession();
    void failedSaveKeepsFile();
    void fatalErrorEndsWithStatusOne();
    void realDisplayShowsLoginWindow();
    void cleanupTestCase();

private:
    PracticeServer server;
    std::unique_ptr<GuiUnderTest> gui;
};

namespace {
const QString userFile = QStringLiteral("user_settings.json");

QString settingsDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) + QStringLiteral("/oxbell");
}

QJsonObject readJson(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// Each watched widget as hidden, on or off.
QString stateOf(const GuiUnderTest& gui)
{
    const auto describe = [](const QWidget* widget) {
        return QLatin1String(widget->isHidden() ? "hidden" : widget->isEnabled() ? "on" : "off");
    };
    return QStringList{QStringLiteral("tree=") + describe(gui.courseTree),
                       QStringLiteral("init=") + describe(gui.initButton),
                       QStringLiteral("test=") + describe(gui.testButton),
                       QStringLiteral("turnin=") + describe(gui.gradeButton),
                       QStringLiteral("cancel=") + describe(gui.cancelButton),
                       QStringLiteral("refresh=") + describe(gui.refreshButton),
                       QStringLiteral("settings=") + describe(gui.settingsButton),
                       QStringLiteral("feedback=") + describe(gui.feedbackTree)}
        .join(QLatin1Char(' '));
}

// What follows a label's bold lead.
QString valueOf(const QLabel* label)
{
    return label->text().section(QStringLiteral("</b> "), 1);
}

QTreeWidgetItem* itemAt(QTreeWidget* tree, const QString& path)
{
    QTreeWidgetItem* item = tree->invisibleRootItem();
    for (const QString& text : path.split(QLatin1Char('/'))) {
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; item && i < item->childCount() && !next; ++i)
            next = item->child(i)->text(0) == text ? item->child(i) : nullptr;
        item = next;
    }
    return item;
}

QStringList topLevelTexts(const QTreeWidget* tree)
{
    QStringList texts;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        texts.append(tree->topLevelItem(i)->text(0));
    return texts;
}

QStringList listTexts(const QListWidget* list)
{
    QStringList texts;
    for (int row = 0; row < list->count(); ++row)
        texts.append(list->item(row)->text());
    return texts;
}

QString lastDialogText(const GuiUnderTest& gui)
{
    return gui.shownDialogs().isEmpty() ? QString() : gui.shownDialogs().last().text;
}

QJsonObject problem(const QString& name, const QJsonObject& members)
{
    QJsonObject object = members;
    object.insert(QStringLiteral("display_name"), name);
    object.insert(QStringLiteral("url_name"), name.toLower().replace(QLatin1Char(' '), QLatin1Char('-')));
    object.insert(QStringLiteral("possible"), 1);
    return object;
}

QJsonObject section(const QString& name, const QJsonArray& problems, bool multistep = false)
{
    return {{"display_name", name}, {"url_name", name.toLower()}, {"multistep", multistep}, {"problems", problems}};
}

// One section per case of the turn-in rules; `now` is the current second.
QJsonObject stateCatalogue(qint64 now)
{
    const auto single = [](const QString& name, const QJsonObject& members) {
        return section(name, QJsonArray{problem(name, members)});
    };
    const QJsonArray sections{
        single("Plain", {{"attempts", 1}, {"max_attempts", 3}, {"close_date", 0}}),
        single("Init", {{"attempts", 1}, {"max_attempts", 3}, {"hasInit", true}}),
        single("Used up", {{"attempts", 3}, {"max_attempts", 3}}),
        single("None allowed", {{"attempts", 0}, {"max_attempts", 0}}),
        single("Unlimited", {{"attempts", 2}, {"max_attempts", "unlimited"}}),
        single("Missing keys", {{"earned", 0.5}}),
        single("Closed", {{"attempts", 0}, {"max_attempts", 3}, {"close_date", double(now - 1)}}),
        single("Open", {{"attempts", 0}, {"max_attempts", 3}, {"close_date", double(now + 1)}}),
        section("Steps",
                QJsonArray{problem("First", {{"attempts", 0}, {"max_attempts", 2}, {"complete", true}}),
                           problem("Second", {{"attempts", 0}, {"max_attempts", 2}})},
                true)};
    const QJsonObject week{{"display_name", "Week 1"}, {"url_name", "week1"}, {"sections", sections}};
    const QJsonObject empty{{"display_name", "Week 2"}, {"url_name", "week2"}, {"sections", QJsonArray{}}};
    return {{"status", "ok"}, {"Org/GUI_101/Run_1", QJsonArray{week, empty}}, {"Org/Empty/Run", QJsonArray{}}};
}

// Starts Xvfb, which picks a free display itself and tells its number; returns ":N", or empty.
// Xvfb on a display of its own; a dense one has twice the usual density, announced as a desktop
// session does: in its screen size and in Xft.dpi, which Qt's newer X11 support reads alone. The
// server is kept from resetting, which would drop the setting when its last client leaves.
constexpr int denseDpi = 192;

QString startDisplay(QProcess& display, bool dense, const QStringList& options = {})
{
    const QStringList density{QStringLiteral("-dpi"), QString::number(denseDpi), QStringLiteral("-noreset")};
    display.start(QStandardPaths::findExecutable(QStringLiteral("Xvfb")),
                  QStringList{QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                              QStringLiteral("tcp")}
                      + (dense ? density : QStringList()) + options);
    if (!QTest::qWaitFor([&] { return display.canReadLine(); }, testWaitMs))
        return {};
    const QString number = QString::fromLatin1(display.readLine().trimmed());
    if (number.isEmpty())
        return {};
    const QString name = QLatin1Char(':') + number;
    if (dense) {
        QProcess resources;
        resources.start(QStandardPaths::findExecutable(QStringLiteral("xprop")),
                        {QStringLiteral("-display"), name, QStringLiteral("-root"), QStringLiteral("-f"),
                         QStringLiteral("RESOURCE_MANAGER"), QStringLiteral("8s"), QStringLiteral("-set"),
                         QStringLiteral("RESOURCE_MANAGER"), QStringLiteral("Xft.dpi:\t%1\n").arg(denseDpi)});
        if (!resources.waitForFinished(testWaitMs) || resources.exitCode() != 0)
            return {};
    }
    return name;
}

// What assistive technology is told of changes: the event, then the object's name and description.
QStringList announced;

void recordEvent(QAccessibleEvent* event)
{
    QAccessibleInterface* node = event->accessibleInterface();
    if (node && (event->type() == QAccessible::NameChanged || event->type() == QAccessible::DescriptionChanged))
        announced += QLatin1String(QMetaEnum::fromType<QAccessible::Event>().valueToKey(event->type()))
            + QLatin1Char(' ') + node->text(QAccessible::Name) + QLatin1Char('|')
            + node->text(QAccessible::Description);
}

// The shown controls and texts of a window as assistive technology finds them, as "Role name".
QStringList accessibleControls(QObject* window)
{
    static const QList<QAccessible::Role> roles{QAccessible::Window,   QAccessible::Button, QAccessible::EditableText,
                                                QAccessible::Tree,     QAccessible::List,   QAccessible::StaticText,
                                                QAccessible::StatusBar};
    QStringList found;
    const std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
        if (!node->state().invisible && roles.contains(node->role()))
            found += QLatin1String(QMetaEnum::fromType<QAccessible::Role>().valueToKey(node->role())) + QLatin1Char(' ')
                + node->text(QAccessible::Name);
        for (int i = 0; i < node->childCount(); ++i)
            walk(node->child(i));
    };
    walk(QAccessible::queryAccessibleInterface(window));
    return found;
}

// A key pressed where the focus is.
void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), modifiers);
}

// The accessible names of the widgets that Tab moves the focus to, `presses` times.
QStringList tabWalk(int presses)
{
    QStringList names;
    for (int i = 0; i < presses; ++i) {
        press(Qt::Key_Tab);
        names += QAccessible::queryAccessibleInterface(QApplication::focusWidget())->text(QAccessible::Name);
    }
    return names;
}

// Close dates are whole seconds: starting early in one keeps "one second ahead" ahead.
qint64 freshSecond()
{
    while (QDateTime::currentMSecsSinceEpoch() % 1000 > 300)
        QTest::qSleep(20);
    return QDateTime::currentSecsSinceEpoch();
}
}

void TestGui::initTestCase()
{
    PracticeServer::Options options;
    options.faults = true;
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    QDir(settingsDir()).removeRecursively();
    QDir(Receipts::directory()).removeRecursively();
    QVERIFY(PracticeServer::writeAppSettings(settingsDir(), server.url()));
    // This platform has no bridge to assistive technology that would turn accessibility on.
    frontend::GUI::installAccessibility();
    QAccessible::installUpdateHandler(recordEvent);
    QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
}

void TestGui::cleanupTestCase()
{
    gui.reset();
    server.stop();
}

void TestGui::loginSession()
{
    gui = std::make_unique<GuiUnderTest>();
    QCOMPARE(gui->mainWindow->windowTitle(), QStringLiteral("oxbell version " OXBELL_VERSION));
    QCOMPARE(gui->mainWindow->size(), QSize(frontend::GUI::loginWidth, frontend::GUI::loginHeight));
    // Nothing to log in to before the session key is agreed.
    QVERIFY(!gui->emailEdit->isEnabled() && !gui->passwordEdit->isEnabled() && !gui->loginButton->isEnabled());
    gui->start();
    QTRY_VERIFY_WITH_TIMEOUT(gui->loginButton->isEnabled(), testWaitMs);
    QVERIFY(gui->emailEdit->isEnabled() && gui->passwordEdit->isEnabled());
    QCOMPARE(gui->statusBar->currentMessage(), QStringLiteral("Ready to log in"));
    QVERIFY(QTest::qWaitForWindowActive(gui->mainWindow));
    QCOMPARE(QApplication::focusWidget(), gui->emailEdit);
    QCOMPARE(tabWalk(4), QStringList({"Password", "Login", "Check setup", "Email"}));
    QCOMPARE(accessibleControls(gui->mainWindow),
             QStringList({"Window oxbell version " OXBELL_VERSION, "StaticText oxbell", "StaticText Email:", "StaticText Password:",
                          "EditableText Email", "EditableText Password", "Button Login", "Button Check setup",
                          "StatusBar Ready to log in"}));

    // The set-up check runs while its dialog is open; Copy takes its whole report.
    QStringList lines;
    QString summary;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        auto* label = dialog ? dialog->findChild<QLabel*>() : nullptr;
        if (!label || !label->text().contains(QStringLiteral(" passed, ")))
            return;
        watch.stop();
        summary = label->text();
        auto* list = dialog->findChild<QListWidget*>();
        for (int row = 0; row < list->count(); ++row) {
            const QListWidgetItem* item = list->item(row);
            const bool okLine = item->text().startsWith(QStringLiteral("ok "));
            // Results apart by colour too: green for ok, another for the rest.
            QCOMPARE(item->foreground().color().green() > item->foreground().color().red(), okLine);
            lines << item->text();
        }
        for (QPushButton* button : dialog->findChildren<QPushButton*>())
            if (button->text() == QStringLiteral("Copy"))
                button->click();
        for (QPushButton* button : dialog->findChildren<QPushButton*>())
            if (button->text() == QStringLiteral("Close"))
                button->click();
    });
    watch.start(50);
    gui->checkSetupButton->click();
    QCOMPARE(gui->shownDialogs().last().title, QStringLiteral("Check setup"));
    QVERIFY2(lines.filter(QRegularExpression("^ok   server protocol: ")).size() == 1, qPrintable(lines.join('\n')));
    QCOMPARE(QGuiApplication::clipboard()->text(), lines.join('\n') + '\n' + summary + '\n');

    // Refused: the address stays, the password goes. Enter in the password field logs in.
    QTest::keyClicks(gui->emailEdit, PracticeServer::studentEmail);
    QTest::keyClicks(gui->passwordEdit, QStringLiteral("wrong"));
    gui->answerNextDialogs({QStringLiteral("OK")});
    QTest::keyClick(gui->passwordEdit, Qt::Key_Return);
    QVERIFY(!gui->loginButton->isEnabled());
    // A second Enter while the answer is awaited sends nothing.
    QTest::keyClick(gui->emailEdit, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(gui->loginButton->isEnabled(), testWaitMs);
    QCOMPARE(gui->passwordEdit->text(), QString());
    QCOMPARE(gui->emailEdit->text(), PracticeServer::studentEmail);
    QCOMPARE(server.log().count("POST /login 401"), 1);
    QVERIFY2(lastDialogText(*gui).startsWith(QStringLiteral("Failed to login. Please try again.\n\nReason: ")),
             qPrintable(lastDialogText(*gui)));

    // Enter in the address field logs in too.
    QTest::keyClicks(gui->passwordEdit, PracticeServer::studentPassword);
    QTest::keyClick(gui->emailEdit, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(gui->courseTree && gui->refreshButton->isEnabled(), testWaitMs);
    QVERIFY(!gui->emailEdit && !gui->loginButton);
    QCOMPARE(gui->mainWindow->size(), QSize(frontend::GUI::mainWidth, frontend::GUI::mainHeight));
    QCOMPARE(topLevelTexts(gui->courseTree), QStringList({"DB101 - 2026 Fall", "WEB101 - 2026 Fall"}));
    QCOMPARE(stateOf(*gui),
             QStringLiteral("tree=on init=hidden test=hidden turnin=hidden cancel=hidden refresh=on "
                            "settings=on feedback=hidden"));
    QVERIFY(!gui->promptLabel->isHidden());
    // Values other than the three states change nothing.
    gui->loginStateChanged(7);
    QVERIFY(gui->courseTree);
    QCOMPARE(gui->shownDialogs().size(), 2);
}

// Larger text (or a larger substitute font) grows the window rather than squeezing its fields.
void TestGui::largeTextGrowsLoginWindow()
{
    const QFont usual = QApplication::font();
    QApplication::setFont(QFont(usual.family(), QFontInfo(usual).pointSize() * 2));
    const auto restore = qScopeGuard([&] { QApplication::setFont(usual); });
    GuiUnderTest window;
    for (const QWidget* widget : window.mainWindow->findChildren<QWidget*>())
        QVERIFY2(widget->height() >= widget->minimumSizeHint().height(), qPrintable(widget->accessibleName()));
}

void TestGui::widgetStates_data()
{
    QTest::addColumn<QString>("select");
    QTest::addColumn<int>("runState");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("details"); // due date | attempts | grade; empty: not checked

    const QString loaded = QStringLiteral("tree=on init=hidden test=hidden turnin=hidden cancel=hidden refresh=on "
                                          "settings=on feedback=hidden");
    const auto selected = [](const char* init, const char* turnIn, const char* cancel = "off") {
        return QStringLiteral("tree=on init=%1 test=on turnin=%2 cancel=%3 refresh=on settings=on feedback=on")
            .arg(QLatin1String(init), QLatin1String(turnIn), QLatin1String(cancel));
    };
    const QString course = QStringLiteral("GUI_101 - Run 1");
    const QString week = course + QStringLiteral("/Week 1/");
    QTest::newRow("after load") << QString() << RunState::None << loaded << QString();
    QTest::newRow("without init") << week + "Plain" << RunState::None << selected("hidden", "on")
                                  << "Self Paced | 1/3 | /1";
    QTest::newRow("with init") << week + "Init" << RunState::None << selected("on", "on") << "Self Paced | 1/3 | /1";
    QTest::newRow("attempts used up") << week + "Used up" << RunState::None << selected("hidden", "off")
                                      << "Self Paced | 3/3 | /1";
    QTest::newRow("no attempts allowed") << week + "None allowed" << RunState::None << selected("hidden", "off")
                                         << "Self Paced | 0/0 | /1";
    QTest::newRow("unlimited") << week + "Unlimited" << RunState::None << selected("hidden", "on")
                               << "Self Paced | 2/unlimited | /1";
    QTest::newRow("both attempt keys missing")
        << week + "Missing keys" << RunState::None << selected("hidden", "off") << "Self Paced | / | 0.5/1";
    QTest::newRow("closed a second ago") << week + "Closed" << RunState::None << selected("hidden", "off") << QString();
    QTest::newRow("closes in a second") << week + "Open" << RunState::None << selected("hidden", "on") << QString();
    QTest::newRow("during a test or turn-in")
        << week + "Plain" << RunState::Grading << selected("hidden", "off", "on") << QString();
    QTest::newRow("step") << week + "Steps/Second" << RunState::None << selected("hidden", "on")
                          << "Self Paced | 0/2 | /1";
    QTest::newRow("course") << course << RunState::None << loaded << QString();
    QTest::newRow("multistep section") << week + "Steps" << RunState::None << loaded << QString();
    QTest::newRow("week without sections") << course + "/Week 2" << RunState::None << loaded << QString();
    QTest::newRow("course without weeks") << QStringLiteral("Empty - Run") << RunState::None << loaded << QString();
}

void TestGui::widgetStates()
{
    QFETCH(QString, select);
    QFETCH(int, runState);
    QFETCH(QString, state);
    QFETCH(QString, details);
    QVERIFY(gui && gui->courseTree);

    gui->coursesLoaded(stateCatalogue(freshSecond()));
    gui->runState = runState;
    if (!select.isEmpty()) {
        QTreeWidgetItem* item = itemAt(gui->courseTree, select);
        QVERIFY2(item, qPrintable(select));
        gui->courseTree->setCurrentItem(item);
    }
    gui->runState = RunState::None;
    QCOMPARE(stateOf(*gui), state);
    if (!details.isEmpty()) {
        const QString shown
            = QStringList{gui->dueDateLabel->text().remove(QStringLiteral("<b>")).remove(QStringLiteral("</b> ")),
                          valueOf(gui->attemptsLabel), valueOf(gui->gradeLabel)}
                  .join(QStringLiteral(" | "));
        QCOMPARE(shown, details);
    }
}

void TestGui::runSession()
{
    QVERIFY(gui && gui->courseTree);
    gui->handleRefreshGradesButtonClicked();
    QCOMPARE(stateOf(*gui),
             QStringLiteral("tree=off init=hidden test=hidden turnin=hidden cancel=hidden refresh=off "
                            "settings=on feedback=hidden"));
    QTRY_VERIFY_WITH_TIMEOUT(gui->refreshButton->isEnabled(), testWaitMs);
    const QString warmUp = QStringLiteral("DB101 - 2026 Fall/Week 0: Getting started/Check your setup");
    // From the keyboard alone: hidden buttons are skipped, arrows open the tree down to the problem.
    gui->courseTree->setFocus();
    QCOMPARE(tabWalk(3), QStringList({"Refresh", "Settings", "Courses"}));
    for (Qt::Key key : {Qt::Key_Home, Qt::Key_Right, Qt::Key_Down, Qt::Key_Right, Qt::Key_Down})
        press(key);
    QCOMPARE(gui->heading1Label->text(), QStringLiteral("<h1>DB101 - 2026 Fall</h1>"));
    QCOMPARE(gui->heading3Label->text(), QStringLiteral("<h3>Check your setup</h3>"));
    const QString idle = QStringLiteral("tree=on init=on test=on turnin=on cancel=off refresh=on settings=on "
                                        "feedback=on");
    QCOMPARE(stateOf(*gui), idle);
    const QPoint row = gui->courseTree->visualItemRect(itemAt(gui->courseTree, warmUp)).center();
    QHelpEvent pointedAt(QEvent::ToolTip, row, gui->courseTree->viewport()->mapToGlobal(row));
    QApplication::sendEvent(gui->courseTree->viewport(), &pointedAt);
    QCOMPARE(QToolTip::text(), QStringLiteral("Check your setup"));
    QCOMPARE(tabWalk(7), QStringList({"Initialize", "Test", "Turn in", "Feedback", "Refresh", "Settings", "Courses"}));
    QCOMPARE(
        accessibleControls(gui->mainWindow),
        QStringList({"Window oxbell version " OXBELL_VERSION, "Tree Courses", "Button Refresh", "Button Settings",
                     "StaticText DB101 - 2026 Fall", "StaticText Week 0: Getting started",
                     "StaticText Check your setup", "StaticText Feedback:", "Tree Feedback", "StaticText Self Paced ",
                     "StaticText Grade: 0/1", "StaticText Attempts: 0/unlimited", "Button Initialize", "Button Test",
                     "Button Turn in", "Button Cancel", "StatusBar Course(s) Loaded"}));

    // Initialize, with Space.
    tabWalk(1);
    press(Qt::Key_Space);
    QCOMPARE(gui->statusBar->currentMessage(), QStringLiteral("Initializing Check your setup"));
    QTRY_COMPARE_WITH_TIMEOUT(gui->statusBar->currentMessage(), QStringLiteral("Initialized Check your setup"), testWaitMs);
    QCOMPARE(stateOf(*gui), idle);
    QCOMPARE(topLevelTexts(gui->feedbackTree).value(0), QStringLiteral("dbnode1 is configured"));

    // A test, with Enter from the feedback list the finished run left the focus in: the script's
    // entries, then the server's; no attempt used.
    QCOMPARE(QApplication::focusWidget(), gui->feedbackTree);
    press(Qt::Key_Tab, Qt::ShiftModifier);
    press(Qt::Key_Tab, Qt::ShiftModifier);
    press(Qt::Key_Return);
    QCOMPARE(stateOf(*gui),
             QStringLiteral("tree=off init=off test=off turnin=off cancel=on refresh=off "
                            "settings=off feedback=on"));
    QCOMPARE(gui->statusBar->currentMessage(), QStringLiteral("Testing Check your setup"));
    gui->answerNextDialogs({QStringLiteral("OK")});
    gui->handleGradeButtonClicked();
    QCOMPARE(lastDialogText(*gui), QStringLiteral("Please wait for Check your setup to complete testing"));
    QTRY_COMPARE_WITH_TIMEOUT(gui->statusBar->currentMessage(), QStringLiteral("Tested Check your setup"), testWaitMs);
    QCOMPARE(stateOf(*gui), idle);
    QStringList entries = topLevelTexts(gui->feedbackTree);
    QCOMPARE(entries.value(0), QStringLiteral("Servers are configured: passed"));
    QVERIFY2(entries.contains(QStringLiteral("Tested: 1 of 1 points")), qPrintable(entries.join('|')));
    QCOMPARE(gui->feedbackTree->topLevelItem(0)->childCount(), 1);
    QCOMPARE(gui->feedbackTree->topLevelItem(0)->child(0)->text(0), QStringLiteral("dbnode1, web1"));
    QCOMPARE(valueOf(gui->attemptsLabel), QStringLiteral("0/unlimited"));
    QCOMPARE(valueOf(gui->gradeLabel), QStringLiteral("0/1"));

    // A turn-in records the attempt and the grade; the status line, each entry and the grade are
    // announced.
    announced.clear();
    gui->gradeButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(gui->statusBar->currentMessage(), QStringLiteral("Graded Check your setup"), testWaitMs);
    QVERIFY(announced.contains(QStringLiteral("NameChanged Graded Check your setup|")));
    QTRY_VERIFY_WITH_TIMEOUT(
        announced.join('\n').contains("DescriptionChanged Feedback|Turned in: 1 of 1 points\nYour grade for"), testWaitMs);
    QVERIFY(announced.contains(QStringLiteral("NameChanged Grade: 1/1|")));
    entries = topLevelTexts(gui->feedbackTree);
    QVERIFY2(entries.contains(QStringLiteral("Turned in: 1 of 1 points")), qPrintable(entries.join('|')));
    QCOMPARE(valueOf(gui->attemptsLabel), QStringLiteral("1/unlimited"));
    QCOMPARE(valueOf(gui->gradeLabel), QStringLiteral("1/1"));
    QVERIFY(server.log().contains("/grade/OxbellX/DB101/2026_Fall/week0/warmup/setup/0 200"));
    // The same grade again is announced all the same.
    announced.clear();
    gui->showGradeResult({{"attempts", "1"}, {"max_attempts", "0"}, {"earned", "1"}, {"possible", "1"}});
    QVERIFY(announced.contains(QStringLiteral("NameChanged Grade: 1/1|")));

    // Re-selecting the problem keeps its feedback; another problem empties the list.
    gui->handleCourseItemSelectionChanged();
    QCOMPARE(topLevelTexts(gui->feedbackTree), entries);

    // Cancel while the script is on its way: the late reply changes nothing.
    QVERIFY(server.injectFault(
        PracticeServer::fault(QStringLiteral("/download/*"), PracticeServer::FaultKind::Delay, 200, {}, 1, 1500)));
    gui->testButton->click();
    gui->cancelButton->click();
    QCOMPARE(stateOf(*gui), idle);
    QCOMPARE(gui->runState, RunState::None);
    QCOMPARE(gui->statusBar->currentMessage(), QString());
    const int dialogs = gui->shownDialogs().size();
    QTest::qWait(2000);
    QCOMPARE(topLevelTexts(gui->feedbackTree), entries);
    QCOMPARE(gui->shownDialogs().size(), dialogs);

    // A failed download ends the run with its reason.
    QVERIFY(server.injectFault(PracticeServer::fault(QStringLiteral("/download/*"), PracticeServer::FaultKind::Status,
                                                     503, QStringLiteral("closed for repairs"))));
    gui->answerNextDialogs({QStringLiteral("OK")});
    gui->testButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(gui->shownDialogs().size(), dialogs + 1, testWaitMs);
    QVERIFY2(lastDialogText(*gui).startsWith(QStringLiteral("Failed to test assignment. Please try again.\n\nReason: "))
                 && lastDialogText(*gui).contains(QStringLiteral("closed for repairs")),
             qPrintable(lastDialogText(*gui)));
    QCOMPARE(stateOf(*gui), idle);

    // A script still running at its time limit is stopped, and the run ends with the limit's message.
    gui->userSettings.insert(QStringLiteral("script_time_limit"), 0.001);
    gui->answerNextDialogs({QStringLiteral("OK")});
    gui->testButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(gui->shownDialogs().size(), dialogs + 2, testWaitMs);
    QCOMPARE(lastDialogText(*gui), QStringLiteral("Failed to test assignment\nReason:\nThe script did not finish "
                                                  "within 0.001 seconds and was stopped."));
    QCOMPARE(stateOf(*gui), idle);
    gui->userSettings.remove(QStringLiteral("script_time_limit"));

    // Refresh forgets the selection; the grade comes back from the server.
    gui->refreshButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(gui->refreshButton->isEnabled(), testWaitMs);
    QVERIFY(gui->testButton->isHidden() && !gui->promptLabel->isHidden());
    gui->courseTree->setCurrentItem(itemAt(gui->courseTree, warmUp));
    QCOMPARE(valueOf(gui->attemptsLabel), QStringLiteral("1/unlimited"));
    QCOMPARE(gui->feedbackTree->topLevelItemCount(), 0);
    gui->addFeedback(QStringLiteral("kept"), QString());
    QCOMPARE(gui->feedbackTree->topLevelItem(0)->childCount(), 0);
    // A burst of entries is heard as its first entry, then once with the count of the others.
    // Well past the interval that the entry above opened, which a loaded machine may end late.
    QTest::qWait(2 * frontend::GUI::feedbackAnnouncementMs);
    announced.clear();
    for (int entry = 0; entry < 50; ++entry)
        gui->addFeedback(QString::number(entry), QString());
    QCOMPARE(announced, QStringList{"DescriptionChanged Feedback|0"});
    QTRY_COMPARE_WITH_TIMEOUT(announced.size(), 2, testWaitMs);
    QCOMPARE(announced.last(), QStringLiteral("DescriptionChanged Feedback|1\n(49 new feedback entries)"));
    gui->courseTree->setCurrentItem(itemAt(gui->courseTree,
                                           QStringLiteral("DB101 - 2026 Fall/Week 1: Reaching the "
                                                          "database/Say hello to dbnode1")));
    QCOMPARE(gui->feedbackTree->topLevelItemCount(), 0);
    // Feedback entries short of a summary or a detail read as empty.
    gui->showGradeResult({{"feedback", QVariantList{QVariantList{"Only a summary"}, QVariantList{}}}});
    QCOMPARE(topLevelTexts(gui->feedbackTree), QStringList({"Only a summary", ""}));

    // dbnode1 is down: Turn in asks first, No being the default, and No spends no attempt.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QString closedPort = QString::number(probe.serverPort());
    probe.close();
    const QVariantMap settings = gui->userSettings;
    QVariantMap servers = settings.value("servers").toMap();
    servers.insert("dbnode1", QVariantMap{{"address", "127.0.0.1"}, {"port", closedPort}});
    gui->userSettings.insert("servers", servers);
    gui->answerNextDialogs({QStringLiteral("No")});
    gui->gradeButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(gui->runState, RunState::None, testWaitMs);
    QCOMPARE(lastDialogText(*gui),
             "dbnode1 (127.0.0.1:" + closedPort
                 + ") cannot be reached. Turn in anyway? A turn-in uses one of your attempts "
                   "(5 of 5 left).");
    QCOMPARE(stateOf(*gui), QString(idle).replace("init=on", "init=hidden"));
    QCOMPARE(valueOf(gui->attemptsLabel), QStringLiteral("0/5"));
    // A connection that fails inside the call that starts it (no route) is reported as well.
    servers.insert("dbnode1", QVariantMap{{"address", "127.255.255.255"}, {"port", closedPort}});
    gui->userSettings.insert("servers", servers);
    gui->answerNextDialogs({QStringLiteral("No")});
    gui->gradeButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(gui->runState, RunState::None, testWaitMs);
    QVERIFY(lastDialogText(*gui).startsWith("dbnode1 (127.255.255.255:" + closedPort + ") cannot be reached."));
    QVERIFY(!server.log().contains("/download/OxbellX/DB101/2026_Fall/week1/connect/hello"));
    gui->userSettings = settings;

    // A post that never reached the server keeps its result: Send again, after Turn in, posts it once.
    gui->courseTree->setCurrentItem(itemAt(gui->courseTree, warmUp));
    QVERIFY(gui->receiptLabel->text().startsWith("Last turn-in: 1/1, "));
    QVERIFY(gui->sendAgainButton->isHidden());
    QVERIFY(
        server.injectFault(PracticeServer::fault(QStringLiteral("/grade/*"), PracticeServer::FaultKind::DropBefore)));
    gui->answerNextDialogs({QStringLiteral("OK")});
    gui->gradeButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(!gui->sendAgainButton->isHidden(), testWaitMs);
    QCOMPARE(lastDialogText(*gui),
             QStringLiteral("Failed to grade assignment. Please try again\n Reason: The "
                            "connection closed before the server answered."));
    QVERIFY2(gui->receiptLabel->text().startsWith(
                 "Last turn-in: failed (The connection closed before the server answered.), "
                 + QDateTime::currentDateTime().toString("yyyy-MM-dd ")),
             qPrintable(gui->receiptLabel->text()));
    QApplication::setActiveWindow(gui->mainWindow);
    gui->gradeButton->setFocus();
    QCOMPARE(tabWalk(1), QStringList({"Send again"}));
    press(Qt::Key_Space);
    QTRY_COMPARE_WITH_TIMEOUT(gui->statusBar->currentMessage(), QStringLiteral("Graded Check your setup"), testWaitMs);
    QCOMPARE(valueOf(gui->attemptsLabel), QStringLiteral("2/unlimited"));
    QVERIFY(gui->sendAgainButton->isHidden());
    QVERIFY(gui->receiptLabel->text().startsWith("Last turn-in: 1/1, "));
    QCOMPARE(gui->unansweredDialogs(), 0);
}

void TestGui::newVersionBox()
{
    gui->answerNextDialogs({QStringLiteral("OK")});
    gui->notifyNewVersion(QStringLiteral("2.1"), QStringLiteral("https://oxbell.invalid/get"));
    QCOMPARE(gui->shownDialogs().last().title, QStringLiteral("New Version Available"));
    QCOMPARE(lastDialogText(*gui),
             QStringLiteral("Please update to the newest version of oxbell (2.1) available at "
                            "<a href=\"https://oxbell.invalid/get\">https://oxbell.invalid/get</a>"));
}

void TestGui::settingsSession()
{
    QVERIFY(gui && gui->courseTree);
    const QString path = settingsDir() + QLatin1Char('/') + userFile;
    const auto open = [this] {
        gui->settingsButton->click();
        return gui->settingsWindow;
    };
    const auto fieldsOn = [this] {
        return gui->serverNameEdit->isEnabled() && gui->serverAddressEdit->isEnabled()
            && gui->serverPortEdit->isEnabled() && gui->deleteServerButton->isEnabled();
    };
    const QVariantMap defaults = gui->userSettings;

    QWidget* window = open();
    QVERIFY(window && window->isVisible());
    QCOMPARE(window->size(), QSize(frontend::GUI::settingsWidth, frontend::GUI::settingsHeight));
    QCOMPARE(listTexts(gui->serverList), QStringList({"dbnode1", "web1"}));
    QVERIFY(!gui->serverNameEdit->isEnabled() && !gui->deleteServerButton->isEnabled());
    QCOMPARE(accessibleControls(window),
             QStringList({"Window Settings", "StaticText Servers", "List Servers", "Button Add server",
                          "Button Delete server", "StaticText Server Name", "EditableText Server Name",
                          "StaticText Server Address", "EditableText Server Address", "StaticText Server Port",
                          "EditableText Server Port", "Button Save", "Button Apply", "Button Close"}));
    // A second press brings the same window forward.
    QCOMPARE(open(), window);
    // Closed right away: nothing to ask.
    const int dialogs = gui->shownDialogs().size();
    gui->closeButton->click();
    QVERIFY(!gui->settingsWindow);
    QCOMPARE(gui->shownDialogs().size(), dialogs);

    // Two new entries, a live rename, the edits kept across a change of selection.
    open();
    gui->addServerButton->click();
    gui->addServerButton->click();
    QCOMPARE(listTexts(gui->serverList), QStringList({"dbnode1", "web1", "newServer0", "newServer1"}));
    QVERIFY(fieldsOn());
    QVERIFY(QTest::qWaitForWindowActive(gui->settingsWindow));
    gui->serverList->setFocus();
    QCOMPARE(tabWalk(9),
             QStringList({"Add server", "Delete server", "Server Name", "Server Address", "Server Port", "Save",
                          "Apply", "Close", "Servers"}));
    QCOMPARE(gui->serverNameEdit->text(), QStringLiteral("newServer1"));
    QCOMPARE(gui->serverAddressEdit->text() + gui->serverPortEdit->text(), QString());
    gui->serverNameEdit->clear();
    QTest::keyClicks(gui->serverNameEdit, QStringLiteral("web2"));
    QCOMPARE(gui->serverList->item(3)->text(), QStringLiteral("web2"));
    QTest::keyClicks(gui->serverAddressEdit, QStringLiteral("10.0.0.2"));
    QTest::keyClicks(gui->serverPortEdit, QStringLiteral("8080"));
    gui->serverList->setCurrentRow(0);
    QCOMPARE(gui->serverPortEdit->text(), QStringLiteral("27017"));
    QCOMPARE(gui->serverList->item(3)->data(Qt::UserRole).toMap(),
             QVariantMap({{"address", "10.0.0.2"}, {"port", "8080"}}));

    // Two entries of one name are saved as one server, the later entry's.
    gui->serverList->setCurrentRow(2);
    gui->serverNameEdit->setText(QStringLiteral("web1"));
    gui->serverAddressEdit->setText(QStringLiteral("later"));
    const QVariantMap servers = gui->collectSettings().value("servers").toMap();
    QCOMPARE(servers.keys(), QStringList({"dbnode1", "web1", "web2"}));
    QCOMPARE(servers.value("web1").toMap().value("address"), QVariant("later"));

    // Delete: "No" keeps the entry, "Yes" removes it and selects the first one.
    gui->serverList->setCurrentRow(3);
    gui->answerNextDialogs({QStringLiteral("No"), QStringLiteral("Yes")});
    gui->deleteServerButton->click();
    QCOMPARE(gui->shownDialogs().last().title, QStringLiteral("Are you sure?"));
    QCOMPARE(lastDialogText(*gui), QStringLiteral("Are you sure you want to delete the entry for web2?"));
    QCOMPARE(gui->serverList->count(), 4);
    gui->deleteServerButton->click();
    QCOMPARE(listTexts(gui->serverList), QStringList({"dbnode1", "web1", "web1"}));
    QCOMPARE(gui->serverNameEdit->text(), QStringLiteral("dbnode1"));

    // Apply writes the file, owner-only, with the proxy passed through; the window stays.
    gui->applyButton->click();
    QCOMPARE(gui->statusBar->currentMessage(), QStringLiteral("Settings saved"));
    QVERIFY(gui->settingsWindow);
    QJsonObject file = readJson(path);
    QCOMPARE(file.value("servers").toObject().keys(), QStringList({"dbnode1", "web1"}));
    QCOMPARE(file.value("proxy").toObject().value("type").toString(), QStringLiteral("none"));
    QCOMPARE(QFile::permissions(path) & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    // Nothing changed since: no question.
    gui->closeButton->click();
    QCOMPARE(gui->shownDialogs().size(), dialogs + 2);

    // An edit discarded with "No" leaves file and memory as they were.
    open();
    gui->serverList->setCurrentRow(1);
    gui->serverPortEdit->setText(QStringLiteral("9999"));
    gui->answerNextDialogs({QStringLiteral("No")});
    gui->closeButton->click();
    QCOMPARE(gui->shownDialogs().last().title, QStringLiteral("Save changes?"));
    QCOMPARE(readJson(path), file);

    // A port stored as a number counts as a change once its entry is shown, and "Yes" saves.
    QJsonObject numeric = file;
    QJsonObject dbnode{{"address", "localhost"}, {"port", 27017}};
    numeric.insert("servers", QJsonObject{{"dbnode1", dbnode}});
    QVERIFY(writeFile(path, QJsonDocument(numeric).toJson()));
    gui->userSettings = numeric.toVariantMap();
    open();
    gui->closeButton->click();
    QCOMPARE(gui->shownDialogs().size(), dialogs + 3);
    open();
    gui->serverList->setCurrentRow(0);
    gui->answerNextDialogs({QStringLiteral("Yes")});
    gui->closeButton->click();
    QCOMPARE(gui->shownDialogs().size(), dialogs + 4);
    QCOMPARE(readJson(path).value("servers").toObject().value("dbnode1").toObject().value("port"), QJsonValue("27017"));

    // A proxy that differs from the file's is no change of the window's; Save writes memory's.
    const QVariantMap proxy{{"type", "http"}, {"host", "proxy.invalid"}, {"port", "3128"}};
    gui->userSettings.insert("proxy", proxy);
    open();
    gui->closeButton->click();
    QCOMPARE(gui->shownDialogs().size(), dialogs + 4);
    open();
    gui->saveButton->click();
    QVERIFY(!gui->settingsWindow);
    QCOMPARE(readJson(path).value("proxy").toObject().toVariantMap(), proxy);

    // No servers at all, and deleting the only entry.
    gui->userSettings.remove("servers");
    open();
    QCOMPARE(gui->serverList->count(), 0);
    QVERIFY(!gui->serverNameEdit->isEnabled() && !gui->deleteServerButton->isEnabled());
    gui->addServerButton->click();
    QCOMPARE(gui->serverNameEdit->text(), QStringLiteral("newServer2"));
    gui->answerNextDialogs({QStringLiteral("Yes")});
    gui->deleteServerButton->click();
    QCOMPARE(gui->serverList->count(), 0);
    QVERIFY(!gui->serverNameEdit->isEnabled() && !gui->deleteServerButton->isEnabled());
    gui->saveButton->click();
    QCOMPARE(readJson(path).value("servers").toObject(), QJsonObject());
    QCOMPARE(gui->unansweredDialogs(), 0);

    gui->userSettings = defaults;
    gui->saveSettings(defaults);
}

namespace {
// Saves settings larger than the file size limit allows, as on a disk that fills up.
int limitedSaveChild()
{
    std::signal(SIGXFSZ, SIG_IGN);
    GuiUnderTest gui;
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 64;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 2;
    gui.answerNextDialogs({QStringLiteral("OK")});
    const QVariantMap settings{{"servers", QVariantMap{{"web1", QVariantMap{{"address", QString(200, 'a')}}}}}};
    gui.saveSettings(settings);
    std::fputs(qPrintable(lastDialogText(gui)), stdout);
    return gui.userSettings == settings ? 0 : 1;
}

// A fatal error while starting: the box is answered, then the process ends.
int fatalChild()
{
    GuiUnderTest gui;
    gui.answerNextDialogs({QStringLiteral("OK")});
    gui.start();
    std::fputs("start returned", stdout);
    return 0;
}

// Pictures for the README from a real session against the practice server (tools/screenshots.sh).
int screenshotsChild(const QString& directory)
{
    PracticeServer server;
    if (!server.start() || !PracticeServer::writeAppSettings(settingsDir(), server.url()))
        return 2;
    GuiUnderTest gui;
    gui.start();
    const auto save = [&directory](QWidget* window, const char* name) {
        QTest::qWait(200);
        return window->grab().save(directory + QLatin1Char('/') + QLatin1String(name));
    };
    if (!QTest::qWaitFor([&] { return gui.loginButton->isEnabled(); }, testWaitMs))
        return 3;
    QTest::keyClicks(gui.emailEdit, PracticeServer::studentEmail);
    QTest::keyClicks(gui.passwordEdit, PracticeServer::studentPassword);
    if (!save(gui.mainWindow, "login.png"))
        return 4;
    gui.loginButton->click();
    if (!QTest::qWaitFor([&] { return gui.courseTree && gui.refreshButton->isEnabled(); }, testWaitMs))
        return 5;
    gui.courseTree->expandAll();
    gui.courseTree->setCurrentItem(
        itemAt(gui.courseTree, QStringLiteral("DB101 - 2026 Fall/Week 0: Getting started/Check your setup")));
    gui.gradeButton->click();
    if (!QTest::qWaitFor([&] { return gui.statusBar->currentMessage().startsWith(QStringLiteral("Graded")); }, testWaitMs))
        return 6;
    gui.feedbackTree->expandAll();
    if (!save(gui.mainWindow, "main.png"))
        return 7;
    gui.settingsButton->click();
    gui.serverList->setCurrentRow(1);
    return save(gui.settingsWindow, "settings.png") ? 0 : 8;
}
}

// A student with a screen reader drives the real program through the accessibility bus of a private
// D-Bus session (tests/screenreader.py), on a display of its own of twice the usual density.
int screenReaderChild()
{
    PracticeServer server;
    AppHome home;
    QProcess display;
    const QString name
        = startDisplay(display, true, {QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("2560x1600x24")});
    if (name.isEmpty() || !home.isValid() || !server.start()
        || !PracticeServer::writeAppSettings(home.configDir(), server.url()))
        return 2;
    QProcessEnvironment environment = home.environment();
    environment.insert(QStringLiteral("DISPLAY"), name);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    QProcess session;
    session.setProcessEnvironment(environment);
    session.setProcessChannelMode(QProcess::ForwardedChannels);
    // The interpreter the distribution's accessibility bindings are installed for.
    session.start(QStringLiteral("dbus-run-session"),
                  {QStringLiteral("--"), QStringLiteral("/usr/bin/python3"),
                   QStringLiteral(OXBELL_SOURCE_DIR "/tests/screenreader.py"), QStringLiteral(OXBELL_APP_DIR "/oxbell"),
                   PracticeServer::studentEmail, PracticeServer::studentPassword, QStringLiteral(OXBELL_VERSION)});
    const bool ended = session.waitForFinished(2 * testWaitMs);
    display.terminate();
    display.waitForFinished();
    return ended && session.exitStatus() == QProcess::NormalExit ? session.exitCode() : 3;
}

void TestGui::failedSaveKeepsFile()
{
    AppHome home;
    QVERIFY(home.isValid());
    const QString path = home.configDir() + QLatin1Char('/') + userFile;
    const QByteArray before = "{\n    \"servers\": {\n    }\n}\n";
    QVERIFY(writeFile(path, before));
    const ProcessOutcome outcome = runSelfAsChild(QStringLiteral("limited-save"), {}, home.environment());
    QVERIFY2(outcome.finished && outcome.exitCode == 0, outcome.standardError.constData());
    QCOMPARE(outcome.standardOutput, QByteArray("Couldn't open file to save settings."));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
    QCOMPARE(QDir(home.configDir()).entryList(QDir::Files | QDir::Hidden),
             QStringList({"app_settings.json", userFile}));
}

void TestGui::fatalErrorEndsWithStatusOne()
{
    AppHome home;
    QVERIFY(home.isValid());
    QVERIFY(writeFile(home.configDir() + QStringLiteral("/app_settings.json"), QByteArray()));
    const ProcessOutcome outcome = runSelfAsChild(QStringLiteral("fatal"), {}, home.environment());
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.exitStatus, QProcess::NormalExit);
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(outcome.standardOutput, QByteArray());
    QVERIFY2(outcome.standardError.contains("Malformed settings file: "), outcome.standardError.constData());
}

void TestGui::realDisplayShowsLoginWindow()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    const QString xwininfo = QStandardPaths::findExecutable(QStringLiteral("xwininfo"));
    QVERIFY2(!xvfb.isEmpty() && !xwininfo.isEmpty(), "Xvfb and xwininfo are needed (tools/install-deps.sh)");

    // A screen of twice the usual density: the window is twice as large in its pixels.
    QProcess display;
    const QString name = startDisplay(display, true);
    QVERIFY2(!name.isEmpty(), display.readAllStandardError().constData());

    AppHome home;
    QVERIFY(home.isValid());
    QProcessEnvironment environment = home.environment();
    environment.insert(QStringLiteral("DISPLAY"), name);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setStandardInputFile(QProcess::nullDevice());
    program.start(QStringLiteral(OXBELL_APP_DIR "/oxbell"), QStringList());
    QVERIFY(program.waitForStarted());

    QByteArray tree;
    const auto windowShown = [&] {
        QProcess query;
        query.start(xwininfo, {QStringLiteral("-display"), name, QStringLiteral("-root"), QStringLiteral("-tree")});
        query.waitForFinished();
        tree = query.readAllStandardOutput();
        return tree.contains("\"oxbell version " OXBELL_VERSION "\"") || program.state() == QProcess::NotRunning;
    };
    QTRY_VERIFY_WITH_TIMEOUT(windowShown(), testWaitMs);
    const QByteArray programError = program.readAllStandardError();
    program.kill();
    program.waitForFinished();
    display.terminate();
    display.waitForFinished();
    QVERIFY2(tree.contains("\"oxbell version " OXBELL_VERSION "\""), programError.constData());
    QVERIFY2(tree.contains("800x440"), tree.constData());
}

// Qt's offscreen platform never frees its screen: an application object alone leaks it. The stacks
// end inside Qt (no frame pointers there), so they are matched by the screen's own constructors.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n"
           "leak:QScreen::QScreen\n"
           "leak:QPlatformScreen::QPlatformScreen\n"
           "leak:QWindowSystemInterface::handleScreenAdded\n"
           "leak:QtSharedPointer::ExternalRefCountData::getAndRef\n"
           "leak:QObject::QObject\n";
}

int main(int argc, char** argv)
{
    const ChildRequest child = childRequest(argc, argv);
    QApplication application(argc, argv);
    if (child.name == QLatin1String("limited-save"))
        return limitedSaveChild();
    if (child.name == QLatin1String("fatal"))
        return fatalChild();
    if (child.name == QLatin1String("screen-reader"))
        return screenReaderChild();
    if (child.name == QLatin1String("screenshots") && child.arguments.size() == 1)
        return screenshotsChild(child.arguments.first());
    // Outside ctest's home of its own, settings still never touch the developer's.
    QStandardPaths::setTestModeEnabled(true);
    TestGui test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_gui.moc"
