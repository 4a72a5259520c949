#include "frontend/gui.h"

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
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace frontend {

namespace {

QString textOf(const QVariantMap& map, const char* key)
{
    return map.value(QLatin1String(key)).toString();
}

}

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
    qDeleteAll(pendingFeedback);
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
    emailEdit->setEnabled(false);
    passwordEdit->setEnabled(false);
    loginButton->setEnabled(false);

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
    loginButton->setEnabled(false);
    login(emailEdit->text(), passwordEdit->text());
}

void GUI::loginStateChanged(int state)
{
    switch (state) {
    case LoginState::Ready:
        if (!emailEdit)
            return;
        emailEdit->setEnabled(true);
        passwordEdit->setEnabled(true);
        loginButton->setEnabled(true);
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
        loginButton->setEnabled(true);
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
    feedbackTree->hide();

    welcomeLabel = richLabel(QStringLiteral("<h1>Welcome!</h1>"));
    promptLabel = richLabel(QStringLiteral("<h3>Please choose an assignment from the left</h3>"));
    heading1Label = richLabel(QString());
    heading2Label = richLabel(QString());
    heading3Label = richLabel(QString());
    dueDateLabel = richLabel(QString());
    gradeLabel = richLabel(QString());
    attemptsLabel = richLabel(QString());
    feedbackLabel = richLabel(QStringLiteral("<b>Feedback:</b>"));
    feedbackLabel->hide();

    initButton = new QPushButton(QStringLiteral("Initialize"));
    testButton = new QPushButton(QStringLiteral("Test"));
    gradeButton = new QPushButton(QStringLiteral("Turn in"));
    cancelButton = new QPushButton(QStringLiteral("Cancel"));
    refreshButton = new QPushButton(QStringLiteral("Refresh"));
    settingsButton = new QPushButton(QStringLiteral("Settings"));
    for (QPushButton* button : {initButton, testButton, gradeButton, cancelButton})
        button->hide();
    refreshButton->setEnabled(false);

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
    runningItem = nullptr;
    courseTree->clear();
    courseTree->addTopLevelItems(courses);

    for (QLabel* label : {heading1Label, heading2Label, heading3Label, gradeLabel, dueDateLabel, attemptsLabel})
        label->clear();
    feedbackLabel->hide();
    feedbackTree->hide();
    for (QPushButton* button : {initButton, testButton, gradeButton, cancelButton})
        button->hide();

    courseTree->setEnabled(true);
    refreshButton->setEnabled(true);
    feedbackTree->setEnabled(true);
    promptLabel->show();
}

void GUI::handleRefreshGradesButtonClicked()
{
    for (QWidget* widget :
         std::initializer_list<QWidget*>{courseTree, gradeButton, initButton, testButton, feedbackTree, refreshButton})
        widget->setEnabled(false);
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
    promptLabel->hide();
    if (item != selectedItem) {
        feedbackTree->show();
        feedbackLabel->show();
        clearFeedback();
    }
    selectedItem = item;
    testButton->show();
    gradeButton->show();
    cancelButton->show();
    cancelButton->setEnabled(runState == RunState::Grading);

    heading1Label->setText(QStringLiteral("<h1>") + item->parent()->parent()->text(0) + QStringLiteral("</h1>"));
    heading2Label->setText(QStringLiteral("<h2>") + item->parent()->text(0) + QStringLiteral("</h2>"));
    heading3Label->setText(QStringLiteral("<h3>") + item->text(0) + QStringLiteral("</h3>"));

    const QVariantMap problem = item->data(0, Qt::UserRole).toMap();
    const QDateTime closeDate = problemCloseDate(problem);
    const bool selfPaced = closeDate == QDateTime::fromSecsSinceEpoch(0);
    if (selfPaced)
        dueDateLabel->setText(QStringLiteral("<b>Self Paced</b> "));
    else
        dueDateLabel->setText(QStringLiteral("<b>Due Date: </b> ")
                              + closeDate.toLocalTime().toString(QStringLiteral("MM/dd/yy")));
    attemptsLabel->setText(QStringLiteral("<b>Attempts: </b> ") + textOf(problem, "attempts") + QLatin1Char('/')
                           + textOf(problem, "max_attempts"));
    gradeLabel->setText(QStringLiteral("<b>Grade: </b> ") + textOf(problem, "earned") + QLatin1Char('/')
                        + textOf(problem, "possible"));

    if (runState == RunState::Grading)
        gradeButton->setEnabled(false);
    else
        gradeButton->setEnabled(!attemptsUsedUp(problem) && (selfPaced || QDateTime::currentDateTime() < closeDate));
    testButton->setEnabled(true);

    const bool hasInit = problem.value(QStringLiteral("hasInit")).toBool();
    initButton->setEnabled(hasInit);
    initButton->setVisible(hasInit);
}

void GUI::handleInitButtonClicked()
{
    if (!selectedItem || refuseWhileRunning(RunState::Init, selectedItem->text(0)))
        return;
    runState = RunState::Init;
    lockControlsForRun();
    statusBar->showMessage(QStringLiteral("Initializing ") + selectedItem->text(0));
    downloadScript(selectedItem, true);
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
    if (!selectedItem || refuseWhileRunning(RunState::Grading, runningItem ? runningItem->text(0) : QString()))
        return;
    testMode = testRun;
    runState = RunState::Grading;
    lockControlsForRun();
    runningItem = selectedItem;
    statusBar->showMessage(modeGerundTitle[testMode] + QLatin1Char(' ') + runningItem->text(0));
    cancelButton->setEnabled(true);
    downloadScript(runningItem, false);
}

void GUI::lockControlsForRun()
{
    for (QWidget* widget : std::initializer_list<QWidget*>{courseTree, initButton, testButton, gradeButton,
                                                           refreshButton, settingsButton})
        widget->setEnabled(false);
}

void GUI::unlockControlsAfterRun()
{
    refreshButton->setEnabled(true);
    settingsButton->setEnabled(true);
    cancelButton->setEnabled(false);
    courseTree->setEnabled(true);
}

void GUI::handleCancelGradeButtonClicked()
{
    cancelButton->setEnabled(false);
    cancelRun();
}

void GUI::scriptFailed()
{
    if (!courseTree)
        return;
    statusBar->clearMessage();
    initButton->setEnabled(true);
    unlockControlsAfterRun();
    handleCourseItemSelectionChanged();
}

void GUI::initCompleted()
{
    if (!courseTree)
        return;
    statusBar->showMessage(QStringLiteral("Initialized ") + (selectedItem ? selectedItem->text(0) : QString()),
                           endOfRunMessageMs);
    handleCourseItemSelectionChanged();
    unlockControlsAfterRun();
}

void GUI::gradingFinished()
{
    if (cancelButton)
        cancelButton->setEnabled(false);
    postGrade(runningItem);
}

void GUI::showGradeResult(const QVariantMap& result)
{
    if (!courseTree)
        return;
    addResultFeedback(result);
    if (runningItem) {
        QVariantMap problem = runningItem->data(0, Qt::UserRole).toMap();
        if (!testMode)
            mergeGradeResult(problem, result, runningItem);
        runningItem->setData(0, Qt::UserRole, problem);
        courseTree->setCurrentItem(runningItem);
    }
    handleCourseItemSelectionChanged();
    statusBar->showMessage(modePast[testMode] + QLatin1Char(' ') + (runningItem ? runningItem->text(0) : QString()),
                           endOfRunMessageMs);
    unlockControlsAfterRun();
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
    // Added one by one, each entry of a long list would cost more than the one before.
    if (pendingFeedback.isEmpty() && feedbackTree->topLevelItemCount() < feedbackBatchFromRows) {
        feedbackTree->addTopLevelItem(entry);
        return;
    }
    pendingFeedback.append(entry);
    if (!feedbackTimer) {
        feedbackTimer = new QTimer(this);
        feedbackTimer->setSingleShot(true);
        feedbackTimer->setInterval(feedbackBatchMs);
        connect(feedbackTimer, &QTimer::timeout, this, &GUI::showPendingFeedback);
    }
    if (!feedbackTimer->isActive())
        feedbackTimer->start();
}

void GUI::showPendingFeedback()
{
    if (feedbackTree)
        feedbackTree->addTopLevelItems(pendingFeedback);
    else
        qDeleteAll(pendingFeedback);
    pendingFeedback.clear();
}

void GUI::clearFeedback()
{
    qDeleteAll(pendingFeedback);
    pendingFeedback.clear();
    if (feedbackTree)
        feedbackTree->clear();
}

void GUI::showStatus(const QString& status)
{
    if (statusBar)
        statusBar->showMessage(status);
}

}
