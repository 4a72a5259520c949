#pragma once

#include <QDateTime>
#include <QJsonDocument>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// A problem on one course server, and the mode of a grade post to it.
struct PostedProblem {
    QString server; // the course server's URL
    QString course;
    QString week;
    QString section;
    QString problem;
    QString displayName;
    bool test = false;

    // The same problem on the same server, whatever the mode.
    bool sameProblem(const PostedProblem& other) const;
};

// One grade post as the receipt file keeps it: the server's answer, or why there was none.
struct Receipt {
    QDateTime time; // UTC
    PostedProblem post;
    bool answered = false;
    QVariantMap answer; // "earned", "possible", "attempts", "max_attempts", "complete"
    QString failure;

    // "Last turn-in: 7/10, 2026-12-08 14:03" (local time), or "Last test: failed (reason), ...".
    QString summary() const;
};

// The result of a grading run whose post failed, kept to be sent again.
struct KeptResult {
    PostedProblem post;
    QDateTime keptAt; // UTC
    QJsonDocument state; // as it was to be posted; null when the script sent none
    QVariant attemptsBefore; // the problem's attempts as the catalogue showed them before the post
};

// What the client keeps of its grade posts in the user's data location: the receipt file, one
// JSON line per post, appended; and the results of failed posts, one file per problem and mode.
// Everything is readable by its owner only.
class Receipts {
public:
    // A kept result older than this is dropped.
    static constexpr int keptDays = 7;
    // The receipt file keeps this many of its newest lines, rewritten whole once it holds twice
    // as many.
    static constexpr int maxLines = 10000;
    // A receipt's failure text is one line of at most this many characters.
    static constexpr int maxFailureChars = 200;

    // The folder everything lives in: the application's data location.
    static QString directory();
    static QString receiptPath();

    // Appends one line; false with *error telling why when it could not be written whole.
    static bool append(const Receipt& receipt, QString* error);
    // The newest receipt of the problem in either mode, read from the end of the file.
    static std::optional<Receipt> latest(const PostedProblem& problem);
    // A failure's reason as a receipt holds it: one line, its markup left out, cut to
    // maxFailureChars.
    static QString failureLine(const QString& reason);

    // Replaces the kept result of the problem and mode; false with *error telling why.
    static bool keep(const KeptResult& kept, QString* error);
    // The kept result of the problem and mode, unless there is none or it has expired (then it is
    // dropped).
    static std::optional<KeptResult> kept(const PostedProblem& problem);
    static void drop(const PostedProblem& problem);

private:
    static QString keptPath(const PostedProblem& problem);
    // Keeps the newest maxLines lines once the file holds more than twice as many.
    static bool trim(QString* error);
};
