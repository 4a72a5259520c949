#pragma once

#include "engine/oxbell.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <iosfwd>

class QTreeWidgetItem;

namespace frontend {

// One of the three standard streams. An operation that leaves the stream in a failed state is
// tried once more after the state has been cleared; the second attempt stands.
class GuardedStream {
public:
    struct EndLine { };
    static constexpr EndLine endLine{};

    explicit GuardedStream(std::ostream& stream);
    explicit GuardedStream(std::istream& stream);

    GuardedStream& operator<<(const QString& text);
    GuardedStream& operator<<(const char* text);
    GuardedStream& operator<<(char character);
    GuardedStream& operator<<(int number);
    // A line break, then a flush.
    GuardedStream& operator<<(EndLine);

    // Reads one line into `line` without its line break. A last line that ends without a line
    // break is a line too. False when the input has ended: nothing was left to read.
    bool readLine(QByteArray& line);

private:
    std::ostream* output = nullptr;
    std::istream* input = nullptr;
};

// The text front end: prompts on the terminal the program was started in, numbered menus for
// the course tree. Every prompt blocks the event loop until the student has answered.
class Console : public Oxbell {
    Q_OBJECT

public:
    explicit Console(QObject* parent = nullptr);
    ~Console() override;

    void start() override;
    void promptLogin();

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

    void showLevelMenu(QTreeWidgetItem* item);
    void showProblemMenu(QTreeWidgetItem* item);
    int getChoice(const QList<int>& numbers, const QStringList& letters);
    QString promptPath() const;
    static QString levelName(int depth);
    static int letterCode(const QString& text);
    void startRun(bool test);
    void startInit();

    // Letter commands as getChoice() returns them.
    enum LetterCode { Back = -1, Home = -2, Exit = -3, Refresh = -4, Test = -5, Initialize = -6, SendAgain = -7 };

protected:
    QTreeWidgetItem* rootItem;
    QTreeWidgetItem* currentItem = nullptr;

private:
    // One menu: shows it, carries out the choice and returns the item whose menu comes next, or
    // null when control goes back to the event loop.
    QTreeWidgetItem* levelMenu(QTreeWidgetItem* item);
    QTreeWidgetItem* problemMenu(QTreeWidgetItem* item);
    // Shows menus one after another, starting at `item`, without nesting calls, so the student
    // may move between menus any number of times.
    void walkMenus(QTreeWidgetItem* item);

    // A line of standard input as text up to its first NUL; ends the program when input has ended.
    QString readLine();
    QString readPassword();
    // Asks after `prompt` until the answer is y, yes, n or no, in any case; true for yes.
    bool askYesNo(const QString& prompt);
    void pause();
    [[noreturn]] void inputEnded();

    GuardedStream out;
    GuardedStream err;
    GuardedStream in;
};

}
