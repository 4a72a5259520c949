#include "frontend/gui.h"

#include "engine/names.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace frontend {

QLabel* GUI::richLabel(const QString& text)
{
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::RichText);
    return label;
}

QWidget* GUI::boxOf(QLayout* layout)
{
    auto* box = new QWidget;
    box->setLayout(layout);
    return box;
}

GUI::GUI(QObject* parent)
    : Oxbell(parent)
{
    buildLoginView();
}

GUI::~GUI()
{
    delete settingsWindow;
    delete mainWindow;
}

QWidget* GUI::twoFields(const QString& firstLabel, QWidget* first, const QString& secondLabel, QWidget* second)
{
    auto* labels = new QVBoxLayout;
    labels->addWidget(richLabel(QStringLiteral("<b>") + firstLabel + QStringLiteral("</b>")));
    labels->addWidget(richLabel(QStringLiteral("<b>") + secondLabel + QStringLiteral("</b>")));
    auto* fields = new QVBoxLayout;
    fields->addWidget(first);
    fields->addWidget(second);
    auto* row = new QHBoxLayout;
    row->addWidget(boxOf(labels));
    row->addWidget(boxOf(fields));
    return boxOf(row);
}

void GUI::centre(QWidget* window, int width, int height)
{
    window->setFixedSize(width, height);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->geometry() : QRect();
    window->setGeometry((area.width() - width) / 2, (area.height() - height) / 2, width, height);
}

void GUI::buildLoginView()
{
    mainWindow = new QWidget;
    mainWindow->setWindowTitle(QStringLiteral("oxbell version ") + QCoreApplication::applicationVersion());
    centre(mainWindow, loginWidth, loginHeight);

    emailEdit = new QLineEdit;
    passwordEdit = new QLineEdit;
    passwordEdit->setEchoMode(QLineEdit::Password);
    loginButton = new QPushButton(QStringLiteral("Login"));
    statusBar = new QStatusBar;
    statusBar->setSizeGripEnabled(false);

    auto* form = new QVBoxLayout;
    form->addWidget(richLabel(QStringLiteral("<h2>oxbell</h2>")));
    form->addWidget(twoFields(QStringLiteral("Email:"), emailEdit, QStringLiteral("Password:"), passwordEdit));
    form->addWidget(loginButton);
    auto* window = new QVBoxLayout(mainWindow);
    window->setContentsMargins(0, 0, 0, 0);
    window->addWidget(boxOf(form));
    window->addWidget(statusBar);

    // Nothing can be sent before the session key has been agreed.
    updateControls();

    connect(loginButton, &QPushButton::clicked, this, &GUI::handleLoginButtonClicked);
    connect(emailEdit, &QLineEdit::returnPressed, this, &GUI::handleLoginButtonClicked);
    connect(passwordEdit, &QLineEdit::returnPressed, this, &GUI::handleLoginButtonClicked);
    mainWindow->show();
}

void GUI::handleLoginButtonClicked()
{
    // Enter in a field while a login is on its way must not send a second one.
    if (!loginButton || !loginButton->isEnabled())
        return;
    loginSent = true;
    updateControls();
    login(emailEdit->text(), passwordEdit->text());
}

void GUI::loginStateChanged(int state)
{
    switch (state) {
    case LoginState::Ready:
        if (!emailEdit)
            return;
        sessionReady = true;
        updateControls();
        emailEdit->setFocus(Qt::OtherFocusReason);
        break;
    case LoginState::LoggedIn:
        if (!emailEdit)
            return;
        mainWindow->hide();
        clearLayout(mainWindow->layout());
        emailEdit = nullptr;
        passwordEdit = nullptr;
        loginButton = nullptr;
        statusBar = nullptr;
        buildMainView();
        break;
    case LoginState::Refused:
        if (!emailEdit)
            return;
        passwordEdit->clear();
        loginSent = false;
        updateControls();
        break;
    default:
        break;
    }
}

void GUI::clearLayout(QLayout* layout)
{
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QLayout* inner = item->layout()) {
            clearLayout(inner);
        } else if (QWidget* widget = item->widget()) {
            widget->hide();
            delete widget;
            delete item;
        } else {
            delete item;
        }
    }
    delete layout;
}

void GUI::buildMainView()
{
    centre(mainWindow, mainWidth, mainHeight);

    courseTree = new QTreeWidget;
    feedbackTree = new QTreeWidget;
    courseTree->header()->close();
    feedbackTree->header()->close();

    welcomeLabel = richLabel(QStringLiteral("<h1>Welcome!</h1>"));
    promptLabel = richLabel(QStringLiteral("<h3>Please choose an assignment from the left</h3>"));
    heading1Label = richLabel(QString());
    heading2Label = richLabel(QString());
    heading3Label = richLabel(QString());
    dueDateLabel = richLabel(QString());
    gradeLabel = richLabel(QString());
    attemptsLabel = richLabel(QString());
    feedbackLabel = richLabel(QStringLiteral("<b>Feedback:</b>"));

    initButton = new QPushButton(QStringLiteral("Initialize"));
    testButton = new QPushButton(QStringLiteral("Test"));
    gradeButton = new QPushButton(QStringLiteral("Turn in"));
    cancelButton = new QPushButton(QStringLiteral("Cancel"));
    refreshButton = new QPushButton(QStringLiteral("Refresh"));
    settingsButton = new QPushButton(QStringLiteral("Settings"));
    updateControls();

    statusBar = new QStatusBar;
    statusBar->setSizeGripEnabled(false);

    auto* left = new QVBoxLayout;
    left->setSpacing(20);
    left->addWidget(courseTree);
    left->addWidget(refreshButton);
    left->addWidget(settingsButton);

    auto* heading = new QVBoxLayout;
    for (QLabel* label : {welcomeLabel, promptLabel, heading1Label, heading2Label, heading3Label})
        heading->addWidget(label);
    heading->addStretch(1);
    auto* feedback = new QVBoxLayout;
    feedback->addWidget(feedbackLabel);
    feedback->addWidget(feedbackTree);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* button : {initButton, testButton, gradeButton, cancelButton})
        buttons->addWidget(button);
    auto* right = new QVBoxLayout;
    right->addWidget(boxOf(heading));
    right->addWidget(boxOf(feedback));
    right->addWidget(dueDateLabel);
    right->addWidget(gradeLabel);
    right->addWidget(attemptsLabel);
    right->addWidget(boxOf(buttons));

    auto* content = new QHBoxLayout;
    content->addWidget(boxOf(left), 1);
    content->addWidget(boxOf(right), 2);
    auto* window = new QGridLayout(mainWindow);
    window->setContentsMargins(0, 0, 0, 0);
    window->addWidget(boxOf(content), 0, 0);
    window->addWidget(statusBar, 1, 0);

    connect(courseTree, &QTreeWidget::itemSelectionChanged, this, &GUI::handleCourseItemSelectionChanged);
    connect(initButton, &QPushButton::clicked, this, &GUI::handleInitButtonClicked);
    connect(gradeButton, &QPushButton::clicked, this, &GUI::handleGradeButtonClicked);
    connect(testButton, &QPushButton::clicked, this, &GUI::handleTestButtonClicked);
    connect(cancelButton, &QPushButton::clicked, this, &GUI::handleCancelGradeButtonClicked);
    connect(refreshButton, &QPushButton::clicked, this, &GUI::handleRefreshGradesButtonClicked);
    connect(settingsButton, &QPushButton::clicked, this, &GUI::handleSettingsButtonClicked);

    loadCourses();
    mainWindow->show();
}

void GUI::coursesLoaded(const QJsonObject& catalogue)
{
    if (!courseTree)
        return;
    const QList<QTreeWidgetItem*> courses = buildCourseTree(catalogue);
    // The old items go first: their pointers must not be compared with the new ones.
    selectedItem = nullptr;
    forgetRunningItem();
    courseTree->clear();
    courseTree->addTopLevelItems(courses);

    for (QLabel* label : {heading1Label, heading2Label, heading3Label, gradeLabel, dueDateLabel, attemptsLabel})
        label->clear();
    catalogueShown = true;
    refreshing = false;
    updateControls();
}

void GUI::handleRefreshGradesButtonClicked()
{
    refreshing = true;
    updateControls();
    loadCourses();
}

void GUI::handleCourseItemSelectionChanged()
{
    if (!courseTree)
        return;
    const QList<QTreeWidgetItem*> selected = courseTree->selectedItems();
    if (selected.isEmpty())
        return;
    QTreeWidgetItem* item = selected.first();
    // Only sections and steps are problems; a course or week without children is a leaf too, but
    // has no week and course above it to show.
    if (item->childCount() > 0 || itemDepth(item) < 2)
        return;

    welcomeLabel->hide();
    if (item != selectedItem)
        clearFeedback();
    selectedItem = item;

    heading1Label->setText(QStringLiteral("<h1>") + item->parent()->parent()->text(0) + QStringLiteral("</h1>"));
    heading2Label->setText(QStringLiteral("<h2>") + item->parent()->text(0) + QStringLiteral("</h2>"));
    heading3Label->setText(QStringLiteral("<h3>") + item->text(0) + QStringLiteral("</h3>"));

    const ProblemSummary summary = problemSummary(item->data(0, Qt::UserRole).toMap());
    if (summary.selfPaced)
        dueDateLabel->setText(QStringLiteral("<b>Self Paced</b> "));
    else
        dueDateLabel->setText(QStringLiteral("<b>Due Date: </b> ")
                              + summary.closeDate.toLocalTime().toString(QStringLiteral("MM/dd/yy")));
    attemptsLabel->setText(QStringLiteral("<b>Attempts: </b> ") + summary.attempts.toString() + QLatin1Char('/')
                           + summary.maxAttempts.toString());
    gradeLabel->setText(QStringLiteral("<b>Grade: </b> ") + summary.earned.toString() + QLatin1Char('/')
                        + summary.possible.toString());
    updateControls();
}

void GUI::updateControls()
{
    if (emailEdit) {
        emailEdit->setEnabled(sessionReady);
        passwordEdit->setEnabled(sessionReady);
        loginButton->setEnabled(sessionReady && !loginSent);
        return;
    }
    if (!courseTree)
        return;
    // A run on a problem of the tree on show; a run state without one (the tree was replaced) locks
    // nothing.
    const bool running = runState != RunState::None && runningItem;
    const bool idle = !running && !refreshing;
    const QVariantMap problem = selectedItem ? selectedItem->data(0, Qt::UserRole).toMap() : QVariantMap();
    const bool hasInit = problem.value(JsonKey::hasInit).toBool();

    courseTree->setEnabled(idle);
    refreshButton->setEnabled(idle && catalogueShown);
    settingsButton->setEnabled(!running);
    promptLabel->setVisible(!selectedItem);
    feedbackLabel->setVisible(selectedItem);
    feedbackTree->setVisible(selectedItem);
    feedbackTree->setEnabled(!refreshing);

    initButton->setVisible(selectedItem && hasInit);
    initButton->setEnabled(idle && hasInit);
    testButton->setVisible(selectedItem);
    testButton->setEnabled(idle);
    gradeButton->setVisible(selectedItem);
    gradeButton->setEnabled(idle && runState != RunState::Grading && selectedItem
                            && problemSummary(problem).turnInOffered);
    cancelButton->setVisible(selectedItem);
    // Once the result is being posted the run can no longer be called off.
    cancelButton->setEnabled(runState == RunState::Grading && requestState != PostingGrade);
}

void GUI::handleInitButtonClicked()
{
    if (!selectedItem || !startProblemRun(RunKind::Init, selectedItem))
        return;
    // A run that could not even start (no servers configured) has already ended.
    if (runState != RunState::None)
        statusBar->showMessage(QStringLiteral("Initializing ") + runningItem->text(0));
    updateControls();
}

void GUI::handleGradeButtonClicked()
{
    startGradingRun(false);
}

void GUI::handleTestButtonClicked()
{
    startGradingRun(true);
}

void GUI::startGradingRun(bool testRun)
{
    if (!selectedItem || !startProblemRun(testRun ? RunKind::Test : RunKind::TurnIn, selectedItem))
        return;
    if (runState != RunState::None)
        statusBar->showMessage(modeGerundTitle[testMode] + QLatin1Char(' ') + runningItem->text(0));
    updateControls();
}

void GUI::handleCancelGradeButtonClicked()
{
    cancelRun();
}

void GUI::scriptFailed()
{
    if (!courseTree)
        return;
    statusBar->clearMessage();
    handleCourseItemSelectionChanged();
    updateControls();
}

void GUI::initCompleted()
{
    if (!courseTree)
        return;
    statusBar->showMessage(QStringLiteral("Initialized ") + (selectedItem ? selectedItem->text(0) : QString()),
                           endOfRunMessageMs);
    handleCourseItemSelectionChanged();
    updateControls();
}

void GUI::gradingFinished()
{
    postRunGrade();
    updateControls();
}

void GUI::showGradeResult(const QVariantMap& result)
{
    if (!courseTree)
        return;
    applyGradeResult(result);
    if (runningItem)
        courseTree->setCurrentItem(runningItem);
    handleCourseItemSelectionChanged();
    statusBar->showMessage(modePast[testMode] + QLatin1Char(' ') + (runningItem ? runningItem->text(0) : QString()),
                           endOfRunMessageMs);
    updateControls();
}

void GUI::addFeedback(const QString& summary, const QString& detail)
{
    qDebug() << "Feedback:" << summary;
    qDebug() << "Detail: " << detail;
    if (!feedbackTree)
        return;
    auto* entry = new QTreeWidgetItem(QTreeWidgetItem::Type);
    entry->setText(0, summary);
    if (!detail.isEmpty())
        (new QTreeWidgetItem(entry))->setText(0, detail);
    feedbackTree->addTopLevelItem(entry);
}

void GUI::clearFeedback()
{
    if (feedbackTree)
        feedbackTree->clear();
}

void GUI::showStatus(const QString& status)
{
    if (statusBar)
        statusBar->showMessage(status);
}

}
