#include "frontend/gui.h"

#include "engine/names.h"

#include <algorithm>

#include <QAccessible>
#include <QAccessibleWidget>
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
#include <QHelpEvent>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace frontend {

namespace {

// Asks assistive technology to speak what the object now says, though focus is elsewhere.
void announce(QObject* object, QAccessible::Event change)
{
    QAccessibleEvent event(object, change);
    QAccessible::updateAccessibility(&event);
}

// Nothing of a long name or detail is lost: rows are as tall as their text wrapped to the column (the
// tree view itself measures every row as one line of unlimited width and ends a wrapped text that does
// not fit in "..."), and pointing at a row shows its whole text. The tooltip is made when asked for,
// so a catalogue or a feedback list of any length costs nothing more to fill.
class WholeTextDelegate : public QStyledItemDelegate {
public:
    explicit WholeTextDelegate(QTreeView* tree)
        : QStyledItemDelegate(tree)
        , view(tree)
    {
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        int indents = 1;
        for (QModelIndex above = index.parent(); above.isValid(); above = above.parent())
            ++indents;
        QStyleOptionViewItem wrapped = option;
        wrapped.features |= QStyleOptionViewItem::WrapText;
        wrapped.rect = QRect(0, 0, view->viewport()->width() - indents * view->indentation(), 1);
        return QStyledItemDelegate::sizeHint(wrapped, index);
    }

    bool helpEvent(QHelpEvent* event, QAbstractItemView* itemView, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override
    {
        if (event->type() != QEvent::ToolTip || !index.isValid())
            return QStyledItemDelegate::helpEvent(event, itemView, option, index);
        QToolTip::showText(event->globalPos(), index.data().toString(), itemView->viewport(),
                           itemView->visualRect(index));
        return true;
    }

private:
    QTreeView* view;
};

// The windows are plain widgets: without this, assistive technology takes them for fillers inside
// some other window rather than windows of their own.
QAccessibleInterface* plainWindowAccessible(const QString& className, QObject* object)
{
    auto* widget = qobject_cast<QWidget*>(object);
    if (className == QLatin1String("QWidget") && widget && widget->isWindow())
        return new QAccessibleWidget(widget, QAccessible::Window);
    return nullptr;
}

}

QLabel* GUI::richLabel(const QString& text)
{
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::RichText);
    return label;
}

QLabel* GUI::fieldLabel(const QString& name, QWidget* field, const QString& after)
{
    QLabel* label = richLabel(QStringLiteral("<b>") + name + after + QStringLiteral("</b>"));
    label->setBuddy(field);
    // Spelled out: the label's markup would otherwise become the field's name.
    field->setAccessibleName(name);
    return label;
}

void GUI::keyboardOrder(std::initializer_list<QWidget*> widgets)
{
    QWidget* previous = nullptr;
    for (QWidget* widget : widgets) {
        if (auto* button = qobject_cast<QPushButton*>(widget))
            button->setAutoDefault(true);
        if (previous)
            QWidget::setTabOrder(previous, widget);
        previous = widget;
    }
}

QStatusBar* GUI::newStatusBar()
{
    auto* bar = new QStatusBar;
    bar->setSizeGripEnabled(false);
    connect(bar, &QStatusBar::messageChanged, bar, &QWidget::setAccessibleName);
    return bar;
}

void GUI::markFocus(QWidget* window)
{
    window->setStyleSheet(QStringLiteral("QAbstractItemView:focus { border: 1px solid palette(highlight); }"));
}

QWidget* GUI::boxOf(QLayout* layout)
{
    auto* box = new QWidget;
    box->setLayout(layout);
    return box;
}

void GUI::installAccessibility()
{
    QAccessible::installFactory(plainWindowAccessible);
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

QWidget* GUI::twoFields(const QString& firstName, QWidget* first, const QString& secondName, QWidget* second)
{
    const QString colon = QStringLiteral(":");
    auto* labels = new QVBoxLayout;
    labels->addWidget(fieldLabel(firstName, first, colon));
    labels->addWidget(fieldLabel(secondName, second, colon));
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

void GUI::showFitted(QWidget* window)
{
    // Nested boxes are laid out when shown; the resize comes before anything is painted.
    window->show();
    const auto clipped = [](const QWidget* widget) {
        return !widget->isHidden() && widget->height() < widget->fontMetrics().height();
    };
    const QList<QLabel*> labels = window->findChildren<QLabel*>();
    const QList<QLineEdit*> fields = window->findChildren<QLineEdit*>();
    if (std::any_of(labels.cbegin(), labels.cend(), clipped) || std::any_of(fields.cbegin(), fields.cend(), clipped)) {
        const QSize needed = window->size().expandedTo(window->minimumSizeHint());
        centre(window, needed.width(), needed.height());
    }
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
    checkSetupButton = new QPushButton(checkSetupText);
    checkSetupButton->setAccessibleName(checkSetupText);
    statusBar = newStatusBar();

    auto* form = new QVBoxLayout;
    form->addWidget(richLabel(QStringLiteral("<h2>oxbell</h2>")));
    form->addWidget(twoFields(QStringLiteral("Email"), emailEdit, QStringLiteral("Password"), passwordEdit));
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addWidget(loginButton, 1);
    buttons->addWidget(checkSetupButton);
    form->addWidget(boxOf(buttons));
    auto* window = new QVBoxLayout(mainWindow);
    window->setContentsMargins(0, 0, 0, 0);
    window->addWidget(boxOf(form));
    window->addWidget(statusBar);
    keyboardOrder({emailEdit, passwordEdit, loginButton, checkSetupButton});

    // Nothing can be sent before the session key has been agreed.
    updateControls();

    connect(loginButton, &QPushButton::clicked, this, &GUI::handleLoginButtonClicked);
    connect(checkSetupButton, &QPushButton::clicked, this, &GUI::handleCheckSetupButtonClicked);
    connect(emailEdit, &QLineEdit::returnPressed, this, &GUI::handleLoginButtonClicked);
    connect(passwordEdit, &QLineEdit::returnPressed, this, &GUI::handleLoginButtonClicked);
    showFitted(mainWindow);
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
        checkSetupButton = nullptr;
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
    courseTree->setAccessibleName(QStringLiteral("Courses"));
    feedbackTree->setAccessibleName(QStringLiteral("Feedback"));
    // Long names and details wrap rather than end in "...".
    for (QTreeWidget* tree : {courseTree, feedbackTree}) {
        tree->setWordWrap(true);
        tree->setItemDelegate(new WholeTextDelegate(tree));
    }

    welcomeLabel = richLabel(QStringLiteral("<h1>Welcome!</h1>"));
    promptLabel = richLabel(QStringLiteral("<h3>Please choose an assignment from the left</h3>"));
    heading1Label = richLabel(QString());
    heading2Label = richLabel(QString());
    heading3Label = richLabel(QString());
    dueDateLabel = richLabel(QString());
    gradeLabel = richLabel(QString());
    attemptsLabel = richLabel(QString());
    receiptLabel = richLabel(QString());
    feedbackLabel = richLabel(QStringLiteral("<b>Feedback:</b>"));
    for (QLabel* label :
         {heading1Label, heading2Label, heading3Label, dueDateLabel, gradeLabel, attemptsLabel, receiptLabel})
        label->setWordWrap(true);

    initButton = new QPushButton(QStringLiteral("Initialize"));
    testButton = new QPushButton(QStringLiteral("Test"));
    gradeButton = new QPushButton(QStringLiteral("Turn in"));
    sendAgainButton = new QPushButton(QStringLiteral("Send again"));
    cancelButton = new QPushButton(QStringLiteral("Cancel"));
    refreshButton = new QPushButton(QStringLiteral("Refresh"));
    settingsButton = new QPushButton(QStringLiteral("Settings"));
    updateControls();

    statusBar = newStatusBar();

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
    for (QPushButton* button : {initButton, testButton, gradeButton, sendAgainButton, cancelButton})
        buttons->addWidget(button);
    auto* right = new QVBoxLayout;
    right->addWidget(boxOf(heading));
    right->addWidget(boxOf(feedback));
    right->addWidget(dueDateLabel);
    right->addWidget(gradeLabel);
    right->addWidget(attemptsLabel);
    right->addWidget(receiptLabel);
    right->addWidget(boxOf(buttons));

    auto* content = new QHBoxLayout;
    content->addWidget(boxOf(left), 1);
    content->addWidget(boxOf(right), 2);
    auto* window = new QGridLayout(mainWindow);
    window->setContentsMargins(0, 0, 0, 0);
    window->addWidget(boxOf(content), 0, 0);
    window->addWidget(statusBar, 1, 0);
    // The run buttons follow the tree that selects their problem; Refresh, which would reload the
    // tree and lose the selection, comes last.
    keyboardOrder({courseTree, initButton, testButton, gradeButton, sendAgainButton, cancelButton, feedbackTree,
                   refreshButton, settingsButton});
    markFocus(mainWindow);

    connect(courseTree, &QTreeWidget::itemSelectionChanged, this, &GUI::handleCourseItemSelectionChanged);
    connect(initButton, &QPushButton::clicked, this, &GUI::handleInitButtonClicked);
    connect(gradeButton, &QPushButton::clicked, this, &GUI::handleGradeButtonClicked);
    connect(testButton, &QPushButton::clicked, this, &GUI::handleTestButtonClicked);
    connect(cancelButton, &QPushButton::clicked, this, &GUI::handleCancelGradeButtonClicked);
    connect(sendAgainButton, &QPushButton::clicked, this, &GUI::handleSendAgainButtonClicked);
    connect(refreshButton, &QPushButton::clicked, this, &GUI::handleRefreshGradesButtonClicked);
    connect(settingsButton, &QPushButton::clicked, this, &GUI::handleSettingsButtonClicked);

    loadCourses();
    showFitted(mainWindow);
    courseTree->setFocus(Qt::OtherFocusReason);
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

    for (QLabel* label :
         {heading1Label, heading2Label, heading3Label, gradeLabel, dueDateLabel, attemptsLabel, receiptLabel})
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
    const QString dropped = dropUnsendableKeptResult(item);
    receiptLabel->setText(lastReceiptLine(item).toHtmlEscaped()
                          + (dropped.isEmpty() ? QString() : QStringLiteral("<br>") + dropped.toHtmlEscaped()));
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
    sendAgainButton->setVisible(hasKeptResult(selectedItem));
    sendAgainButton->setEnabled(idle);
    receiptLabel->setVisible(selectedItem && !receiptLabel->text().isEmpty());
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

void GUI::handleSendAgainButtonClicked()
{
    if (!selectedItem || !sendKeptResult(selectedItem))
        return;
    if (runState != RunState::None)
        statusBar->showMessage(QStringLiteral("Sending again ") + runningItem->text(0));
    updateControls();
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
    verdictArriving = true;
    applyGradeResult(result);
    verdictArriving = false;
    if (runningItem)
        courseTree->setCurrentItem(runningItem);
    const QString gradeBefore = gradeLabel->text();
    handleCourseItemSelectionChanged();
    // A new grade announces itself; the same grade again is announced all the same.
    if (!testMode && gradeLabel->text() == gradeBefore)
        announce(gradeLabel, QAccessible::NameChanged);
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
    announceFeedback(detail.isEmpty() ? summary : summary + QLatin1Char('\n') + detail);
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

void GUI::announceFeedback(const QString& entry)
{
    if (!announcementTimer) {
        announcementTimer = new QTimer(this);
        announcementTimer->setSingleShot(true);
        announcementTimer->setInterval(feedbackAnnouncementMs);
        connect(announcementTimer, &QTimer::timeout, this, &GUI::announcePendingFeedback);
    }
    // The entry describes the list, so it is spoken as it arrives; entries that follow within the
    // interval are told together when it ends, so a long run does not flood the screen reader. The
    // server's verdict leads the entries it arrives with.
    const bool headline = verdictArriving;
    verdictArriving = false;
    if (announcementTimer->isActive()) {
        if (unannouncedEntries++ == 0 || headline)
            unannouncedHeadline = entry;
        return;
    }
    feedbackTree->setAccessibleDescription(entry);
    announcementTimer->start();
}

void GUI::announcePendingFeedback()
{
    if (!feedbackTree || unannouncedEntries == 0)
        return;
    feedbackTree->setAccessibleDescription(
        unannouncedEntries == 1
            ? unannouncedHeadline
            : unannouncedHeadline + QStringLiteral("\n(%1 new feedback entries)").arg(unannouncedEntries));
    unannouncedEntries = 0;
    unannouncedHeadline.clear();
    announcementTimer->start();
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
    unannouncedEntries = 0;
    unannouncedHeadline.clear();
    if (announcementTimer)
        announcementTimer->stop();
    if (feedbackTree) {
        feedbackTree->clear();
        feedbackTree->setAccessibleDescription(QString());
    }
}

void GUI::showStatus(const QString& status)
{
    if (statusBar)
        statusBar->showMessage(status);
}

}
