#pragma once

#include "engine/oxbell.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <initializer_list>

class QAbstractButton;
class QDialog;
class QLabel;
class QLayout;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QStatusBar;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace frontend {

// The window front end: a login view, then the catalogue with the selected problem's details and
// the feedback of its runs, and a settings window for the student's servers.
class GUI : public Oxbell {
    Q_OBJECT

public:
    // Fixed window sizes.
    static constexpr int loginWidth = 400;
    static constexpr int loginHeight = 220;
    static constexpr int mainWidth = 900;
    static constexpr int mainHeight = 600;
    static constexpr int settingsWidth = 800;
    static constexpr int settingsHeight = 600;
    // How long the end-of-run and saved messages stay in the status line.
    static constexpr int endOfRunMessageMs = 2000;
    static constexpr int savedMessageMs = 700;
    // The feedback view lays out all its rows again after each addition: once it holds this
    // many, new entries join it in batches, at most every feedbackBatchMs.
    static constexpr int feedbackBatchFromRows = 1000;
    static constexpr int feedbackBatchMs = 100;
    // A screen reader hears a new feedback entry at once, then at most one announcement per
    // interval, saying how many entries arrived meanwhile.
    static constexpr int feedbackAnnouncementMs = 1000;
    // The login view's button and the offer of a failure message that open the set-up check.
    inline static const QString checkSetupText = QStringLiteral("Check setup");

    // A message box or dialog as the user saw it, and the button that closed it (empty when it
    // was closed some other way).
    struct ShownDialog {
        QString title;
        QString text;
        QString answer;
    };

    // Lets assistive technology take the windows for windows; once, at start-up.
    static void installAccessibility();

    explicit GUI(QObject* parent);
    ~GUI() override;

    void errorMessage(const QString& message, bool fatal) override;
    bool promptRetry(const QString& message) override;
    void showStatus(const QString& status) override;
    void alert(const QString& message) override;
    void notifyNewVersion(const QString& version, const QString& url) override;
    void loginStateChanged(int state) override;
    void coursesLoaded(const QJsonObject& catalogue) override;
    void showGradeResult(const QVariantMap& result) override;
    void scriptFailed() override;
    void addFeedback(const QString& summary, const QString& detail) override;
    void clearFeedback() override;
    void gradingFinished() override;
    void initCompleted() override;
    void requestProxyCredentials(QAuthenticator* authenticator) override;
    bool confirmTurnIn(const QString& question) override;

    QVariantMap collectSettings();
    void saveSettings(const QVariantMap& settings);

    // Answers for the coming message boxes and dialogs, one button text each, in order. A box
    // with an answer waiting is shown as usual and then closed by a click on that button.
    void answerNextDialogs(const QStringList& buttons) { pendingAnswers += buttons; }
    int unansweredDialogs() const { return pendingAnswers.size(); }
    const QList<ShownDialog>& shownDialogs() const { return dialogsShown; }

public slots:
    void handleLoginButtonClicked();
    void handleBasicAuthQuitClicked(bool checked);
    void handleCourseItemSelectionChanged();
    void handleInitButtonClicked();
    void handleGradeButtonClicked();
    void handleTestButtonClicked();
    void handleCancelGradeButtonClicked();
    void handleRefreshGradesButtonClicked();
    void handleSettingsButtonClicked();
    void handleSettingsSaveButtonClicked();
    void handleSettingsApplyButtonClicked();
    void handleSettingsCloseButtonClicked();
    void handleSettingsServerSelectionChanged();
    void handleSettingsServerAddButtonClicked();
    void handleSettingsServerDeleteButtonClicked();
    void handleServerNameChanged(QString changedTo);
    void handleSendAgainButtonClicked();
    void handleCheckSetupButtonClicked();

protected:
    void buildLoginView();
    void buildMainView();
    void startGradingRun(bool testRun);
    // Enables and shows the controls of the view on show as the login state, the run state and
    // the selected problem call for; called whenever one of them changes.
    void updateControls();
    void closeSettingsWindow();
    // The set-up check in a dialog of its own: its lines as they come, "Copy" and "Close".
    void showSetupCheck();
    void writeBackCurrentServer();
    // Runs a box or dialog modally; the one way every box and dialog of the window is shown.
    // Returns the button that closed it, or null.
    QAbstractButton* runModal(QDialog* dialog);
    // A box with the given buttons (ActionRole, in order; the last is the default); returns the
    // text of the button clicked, or an empty string.
    QString ask(const QString& title, const QString& text, const QStringList& buttons);

    static void clearLayout(QLayout* layout);
    static QLabel* richLabel(const QString& text);
    // A bold label that names its field to the eye and to assistive technology alike.
    static QLabel* fieldLabel(const QString& name, QWidget* field, const QString& after = QString());
    // The keyboard walk through a view, in the order given; the toolkit skips hidden and disabled
    // widgets. A focused button is pressed by Enter as well as by Space.
    static void keyboardOrder(std::initializer_list<QWidget*> widgets);
    // A status line whose message is also its accessible name, so a change is announced.
    static QStatusBar* newStatusBar();
    // Lists and trees frame themselves while they have the focus; the style marks only their
    // current item, and an empty list has none.
    static void markFocus(QWidget* window);
    // A plain widget holding the layout, so boxes nest as widgets.
    static QWidget* boxOf(QLayout* layout);
    // Two bold labels in one column beside their fields in another; the names without the colon.
    static QWidget* twoFields(const QString& firstName, QWidget* first, const QString& secondName, QWidget* second);
    static void centre(QWidget* window, int width, int height);
    // Shows a window built at its fixed size, grown first to its layout's minimum where a label or
    // field would be shorter than its text: a larger system font, or one substituted for a missing
    // one, must not squeeze them to nothing.
    static void showFitted(QWidget* window);

    QWidget* mainWindow = nullptr;
    QLineEdit* emailEdit = nullptr;
    QLineEdit* passwordEdit = nullptr;
    QPushButton* loginButton = nullptr;
    QPushButton* checkSetupButton = nullptr;
    QStatusBar* statusBar = nullptr;
    QTreeWidget* courseTree = nullptr;
    QTreeWidgetItem* selectedItem = nullptr;
    QTreeWidget* feedbackTree = nullptr;
    QLabel* welcomeLabel = nullptr;
    QLabel* promptLabel = nullptr;
    QLabel* heading1Label = nullptr;
    QLabel* heading2Label = nullptr;
    QLabel* heading3Label = nullptr;
    QLabel* dueDateLabel = nullptr;
    QLabel* gradeLabel = nullptr;
    QLabel* attemptsLabel = nullptr;
    // The latest receipt of the selected problem; hidden when it has none.
    QLabel* receiptLabel = nullptr;
    QLabel* feedbackLabel = nullptr;
    QPushButton* initButton = nullptr;
    QPushButton* testButton = nullptr;
    QPushButton* gradeButton = nullptr;
    // Shown while the selected problem has a result kept from a failed post.
    QPushButton* sendAgainButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QPushButton* refreshButton = nullptr;
    QPushButton* settingsButton = nullptr;

    QWidget* settingsWindow = nullptr;
    QListWidget* serverList = nullptr;
    QListWidgetItem* currentServerItem = nullptr;
    QLineEdit* serverNameEdit = nullptr;
    QLineEdit* serverAddressEdit = nullptr;
    QLineEdit* serverPortEdit = nullptr;
    QPushButton* addServerButton = nullptr;
    QPushButton* deleteServerButton = nullptr;
    QPushButton* saveButton = nullptr;
    QPushButton* applyButton = nullptr;
    QPushButton* closeButton = nullptr;

    // Adds the entries waiting for the next batch to the feedback view.
    void showPendingFeedback();
    void announceFeedback(const QString& entry);
    // Tells the leading entry of those that arrived since the last announcement, and how many they are.
    void announcePendingFeedback();

private:
    // The session key is agreed: a login may be sent.
    bool sessionReady = false;
    // A login is on its way.
    bool loginSent = false;
    // A catalogue has been shown; a refresh is on its way.
    bool catalogueShown = false;
    bool refreshing = false;
    QStringList pendingAnswers;
    QList<ShownDialog> dialogsShown;
    QList<QTreeWidgetItem*> pendingFeedback;
    QTimer* feedbackTimer = nullptr;
    QTimer* announcementTimer = nullptr;
    int unannouncedEntries = 0;
    // The first of them, or the first entry of the server's verdict among them.
    QString unannouncedHeadline;
    // The next entry is the first of the server's verdict.
    bool verdictArriving = false;
};

}
