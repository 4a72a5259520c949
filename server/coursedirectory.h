#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <map>
#include <tuple>
#include <vector>

// Identifies a problem on the wire and in the database.
struct ProblemKey {
    QString course;
    QString week;
    QString section;
    QString problem;

    bool operator<(const ProblemKey& other) const
    {
        return std::tie(course, week, section, problem)
            < std::tie(other.course, other.week, other.section, other.problem);
    }
    bool operator==(const ProblemKey& other) const
    {
        return std::tie(course, week, section, problem)
            == std::tie(other.course, other.week, other.section, other.problem);
    }
};

// One account's standing on one problem.
struct Progress {
    int attempts = 0;
    double earned = 0;
    bool complete = false;
};

struct Problem {
    ProblemKey key;
    QString displayName;
    qint64 closeDate = 0; // seconds since 1970 UTC; 0: self paced
    int maxAttempts = 0; // 0: no limit
    double possible = 1;
    qint64 timeLimit = -1; // seconds a script of the problem may run, 0: none; -1: left to the client
    QString initScript; // relative to the course directory; empty: the problem has none
    QString gradingScript;
    int previousStep = -1; // in a multistep section, the index of the step before
    QStringList servers; // names of the student's servers the grading script needs

    // The limit as clients are told it: the number, or for no limit the text "unlimited", which
    // no count of attempts equals, so a client that compares the two texts keeps offering turn-ins.
    QJsonValue maxAttemptsValue() const;
};

// The courses that a course directory describes in its "catalogue.json", and the scripts of their
// problems (read from disk on every download, so that staff can edit a script without a restart).
// Read-only after load(), so any number of threads may use it.
class CourseDirectory {
public:
    static const QString catalogueFileName;

    // Reads and checks the whole catalogue; on failure *error names the place and the fault.
    bool load(const QString& directory, QString* error);

    // "<course key>/<week>/<section>/<problem>": the last three segments name the problem, the rest
    // is the course key. Null when no such problem exists.
    const Problem* find(const QString& path) const;
    const Problem* find(const ProblemKey& key) const;
    const Problem& problem(int at) const { return problems[size_t(at)]; }
    int problemCount() const { return int(problems.size()); }

    // The catalogue as the client reads it, with each problem's progress for one account.
    QJsonObject catalogue(const std::map<ProblemKey, Progress>& progress) const;

    // The script's bytes; *ok is false when the problem has no such script or it cannot be read.
    QByteArray readScript(const Problem& problem, bool init, bool* ok) const;

private:
    struct Section {
        QString displayName;
        QString urlName;
        bool multistep = false;
        std::vector<int> problems;
    };
    struct Week {
        QString displayName;
        QString urlName;
        std::vector<Section> sections;
    };
    struct Course {
        QString key;
        std::vector<Week> weeks;
    };
    class Reader;

    QString root;
    std::vector<Course> courses;
    std::vector<Problem> problems;
    std::map<ProblemKey, int> index;
};
