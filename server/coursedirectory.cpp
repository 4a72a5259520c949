#include "coursedirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <cmath>
#include <initializer_list>

const QString CourseDirectory::catalogueFileName = QStringLiteral("catalogue.json");

namespace {

// The text that stands for "no limit" on turn-ins, in catalogues and on the wire.
const QString unlimitedAttempts = QStringLiteral("unlimited");
// Names travel as path segments, so they keep to characters that need no escaping in a URL.
bool isIdentifier(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._-]+$"));
    return pattern.match(name).hasMatch() && name != QLatin1String(".") && name != QLatin1String("..");
}

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}
}

// Checks the catalogue while it fills the directory, and names the place of the first fault.
class CourseDirectory::Reader {
public:
    Reader(const QString& directory, CourseDirectory& target)
        : root(directory)
        , into(target)
    {
    }

    bool read(const QJsonObject& top)
    {
        if (!members(top, {"courses"}))
            return false;
        const QJsonValue courses = top.value(QLatin1String("courses"));
        if (!courses.isObject())
            return fail(QStringLiteral("\"courses\" must be an object"));
        const QJsonObject byKey = courses.toObject();
        for (auto it = byKey.begin(); it != byKey.end(); ++it) {
            if (!readCourse(it.key(), it.value()))
                return false;
        }
        return true;
    }

    QString error;

private:
    bool fail(const QString& what)
    {
        error = place.isEmpty() ? what : place.join(QStringLiteral(", ")) + QStringLiteral(": ") + what;
        return false;
    }

    bool members(const QJsonObject& object, std::initializer_list<const char*> allowed)
    {
        for (const QString& name : object.keys()) {
            bool known = false;
            for (const char* candidate : allowed)
                known = known || name == QLatin1String(candidate);
            if (!known)
                return fail(QStringLiteral("unknown member %1").arg(quoted(name)));
        }
        return true;
    }

    bool text(const QJsonObject& object, const char* name, QString* out)
    {
        const QJsonValue value = object.value(QLatin1String(name));
        if (!value.isString() || value.toString().isEmpty())
            return fail(QStringLiteral("\"%1\" must be a non-empty string").arg(QLatin1String(name)));
        *out = value.toString();
        return true;
    }

    bool identifier(const QJsonObject& object, const char* name, QSet<QString>* taken, QString* out)
    {
        if (!text(object, name, out))
            return false;
        if (!isIdentifier(*out))
            return fail(QStringLiteral("\"%1\" %2 may hold only letters, digits, '.', '_' and '-'")
                            .arg(QLatin1String(name), quoted(*out)));
        if (taken->contains(*out))
            return fail(QStringLiteral("\"%1\" %2 is used twice").arg(QLatin1String(name), quoted(*out)));
        taken->insert(*out);
        return true;
    }

    bool wholeNumber(const QJsonObject& object, const char* name, qint64 fallback, qint64* out)
    {
        const QJsonValue value = object.value(QLatin1String(name));
        if (value.isUndefined()) {
            *out = fallback;
            return true;
        }
        const double number = value.toDouble(-1);
        if (!value.isDouble() || number < 0 || number > 1e15 || std::floor(number) != number)
            return fail(QStringLiteral("\"%1\" must be a whole number, 0 or more").arg(QLatin1String(name)));
        *out = qint64(number);
        return true;
    }

    bool script(const QJsonObject& object, const char* name, bool required, QString* out)
    {
        const QJsonValue value = object.value(QLatin1String(name));
        if (value.isUndefined() && !required)
            return true;
        if (!text(object, name, out))
            return false;
        const QString clean = QDir::cleanPath(*out);
        if (QDir::isAbsolutePath(clean) || clean == QLatin1String("..") || clean.startsWith(QLatin1String("../")))
            return fail(QStringLiteral("\"%1\" %2 must be a path inside the course directory")
                            .arg(QLatin1String(name), quoted(*out)));
        const QFileInfo file(QDir(root).filePath(clean));
        if (!file.isFile() || !file.isReadable())
            return fail(QStringLiteral("\"%1\": no readable file %2").arg(QLatin1String(name), file.filePath()));
        *out = clean;
        return true;
    }

    // The student's servers a grading script needs, by the names of their server list.
    bool serverNames(const QJsonObject& object, QStringList* out)
    {
        const QJsonValue value = object.value(QLatin1String("servers"));
        if (value.isUndefined())
            return true;
        const QString wrong = QStringLiteral("\"servers\" must be a list of server names, such as [\"web1\"]");
        if (!value.isArray())
            return fail(wrong);
        for (const QJsonValue& name : value.toArray()) {
            if (!name.isString() || name.toString().trimmed().isEmpty())
                return fail(wrong);
            if (out->contains(name.toString()))
                return fail(QStringLiteral("\"servers\" names %1 twice").arg(quoted(name.toString())));
            out->append(name.toString());
        }
        return true;
    }

    bool readCourse(const QString& key, const QJsonValue& value)
    {
        place = QStringList{QStringLiteral("course %1").arg(quoted(key))};
        const QStringList parts = key.split(QLatin1Char('/'));
        if (parts.size() < 3)
            return fail(QStringLiteral("a course key has at least three parts separated by '/'"));
        for (const QString& part : parts) {
            if (!isIdentifier(part))
                return fail(QStringLiteral("every part of a course key holds letters, digits, '.', '_' or '-'"));
        }
        // "/download/init/..." must stay distinguishable from a download of such a course.
        if (parts.first() == QLatin1String("init"))
            return fail(QStringLiteral("a course key may not start with \"init/\""));
        if (!value.isArray())
            return fail(QStringLiteral("a course is an array of weeks"));

        Course course{key, {}};
        QSet<QString> weekNames;
        const QJsonArray weeks = value.toArray();
        for (int i = 0; i < weeks.size(); ++i) {
            place = QStringList{place.first(), QStringLiteral("week %1").arg(i + 1)};
            Week week;
            if (!readWeek(weeks.at(i), key, &weekNames, &week))
                return false;
            course.weeks.push_back(std::move(week));
        }
        into.courses.push_back(std::move(course));
        return true;
    }

    bool readWeek(const QJsonValue& value, const QString& courseKey, QSet<QString>* taken, Week* week)
    {
        const QJsonObject object = value.toObject();
        if (!value.isObject())
            return fail(QStringLiteral("a week is an object"));
        if (!members(object, {"display_name", "url_name", "sections"})
            || !text(object, "display_name", &week->displayName)
            || !identifier(object, "url_name", taken, &week->urlName))
            return false;
        const QJsonValue sections = object.value(QLatin1String("sections"));
        if (!sections.isArray())
            return fail(QStringLiteral("\"sections\" must be an array"));

        QSet<QString> sectionNames;
        const QStringList weekPlace = place;
        const QJsonArray list = sections.toArray();
        for (int i = 0; i < list.size(); ++i) {
            place = weekPlace + QStringList{QStringLiteral("section %1").arg(i + 1)};
            Section section;
            if (!readSection(list.at(i), ProblemKey{courseKey, week->urlName, {}, {}}, &sectionNames, &section))
                return false;
            week->sections.push_back(std::move(section));
        }
        return true;
    }

    bool readSection(const QJsonValue& value, ProblemKey key, QSet<QString>* taken, Section* section)
    {
        const QJsonObject object = value.toObject();
        if (!value.isObject())
            return fail(QStringLiteral("a section is an object"));
        if (!members(object, {"display_name", "url_name", "multistep", "problems"})
            || !text(object, "display_name", &section->displayName)
            || !identifier(object, "url_name", taken, &section->urlName))
            return false;
        const QJsonValue multistep = object.value(QLatin1String("multistep"));
        if (!multistep.isUndefined() && !multistep.isBool())
            return fail(QStringLiteral("\"multistep\" must be true or false"));
        section->multistep = multistep.toBool(false);
        const QJsonValue problemList = object.value(QLatin1String("problems"));
        if (!problemList.isArray())
            return fail(QStringLiteral("\"problems\" must be an array"));

        key.section = section->urlName;
        QSet<QString> problemNames;
        const QStringList sectionPlace = place;
        const QJsonArray list = problemList.toArray();
        for (int i = 0; i < list.size(); ++i) {
            place = sectionPlace + QStringList{QStringLiteral("problem %1").arg(i + 1)};
            Problem problem;
            problem.key = key;
            if (!readProblem(list.at(i), &problemNames, &problem))
                return false;
            if (section->multistep && !section->problems.empty())
                problem.previousStep = section->problems.back();
            const int at = int(into.problems.size());
            into.index.emplace(problem.key, at);
            into.problems.push_back(std::move(problem));
            section->problems.push_back(at);
        }
        return true;
    }

    bool readProblem(const QJsonValue& value, QSet<QString>* taken, Problem* problem)
    {
        const QJsonObject object = value.toObject();
        if (!value.isObject())
            return fail(QStringLiteral("a problem is an object"));
        qint64 closeDate = 0;
        qint64 maxAttempts = 0;
        // "unlimited", or a number; 0, which older catalogues wrote for no limit, still means it.
        const bool unlimited = object.value(QLatin1String("max_attempts")) == QJsonValue(unlimitedAttempts);
        if (!members(object,
                     {"display_name", "url_name", "close_date", "max_attempts", "possible", "time_limit", "init",
                      "grader", "servers"})
            || !text(object, "display_name", &problem->displayName)
            || !identifier(object, "url_name", taken, &problem->key.problem)
            || !wholeNumber(object, "close_date", 0, &closeDate)
            || (!unlimited && !wholeNumber(object, "max_attempts", 0, &maxAttempts))
            || !wholeNumber(object, "time_limit", -1, &problem->timeLimit)
            || !script(object, "init", false, &problem->initScript)
            || !script(object, "grader", true, &problem->gradingScript) || !serverNames(object, &problem->servers))
            return false;
        if (maxAttempts > 1000000)
            return fail(QStringLiteral("\"max_attempts\" is too large"));
        problem->closeDate = closeDate;
        problem->maxAttempts = int(maxAttempts);

        const QJsonValue possible = object.value(QLatin1String("possible"));
        problem->possible = possible.toDouble(1);
        if ((!possible.isUndefined() && !possible.isDouble()) || !(problem->possible > 0)
            || !std::isfinite(problem->possible))
            return fail(QStringLiteral("\"possible\" must be a number above 0"));
        return true;
    }

    const QString root;
    CourseDirectory& into;
    QStringList place;
};

QJsonValue Problem::maxAttemptsValue() const
{
    return maxAttempts > 0 ? QJsonValue(maxAttempts) : QJsonValue(unlimitedAttempts);
}

bool CourseDirectory::load(const QString& directory, QString* error)
{
    courses.clear();
    problems.clear();
    index.clear();
    root = directory;

    QFile file(QDir(directory).filePath(catalogueFileName));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.fileName() + QStringLiteral(": ") + file.errorString();
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = file.fileName() + QStringLiteral(": ")
            + (document.isNull() ? parseError.errorString() + QStringLiteral(" at offset %1").arg(parseError.offset)
                                 : QStringLiteral("the catalogue must be a JSON object"));
        return false;
    }
    Reader reader(directory, *this);
    if (!reader.read(document.object())) {
        *error = file.fileName() + QStringLiteral(": ") + reader.error;
        courses.clear();
        problems.clear();
        index.clear();
        return false;
    }
    return true;
}

const Problem* CourseDirectory::find(const QString& path) const
{
    QStringList parts = path.split(QLatin1Char('/'));
    if (parts.size() < 4)
        return nullptr;
    ProblemKey key;
    key.problem = parts.takeLast();
    key.section = parts.takeLast();
    key.week = parts.takeLast();
    key.course = parts.join(QLatin1Char('/'));
    return find(key);
}

const Problem* CourseDirectory::find(const ProblemKey& key) const
{
    const auto found = index.find(key);
    return found == index.end() ? nullptr : &problems[size_t(found->second)];
}

QJsonObject CourseDirectory::catalogue(const std::map<ProblemKey, Progress>& progress) const
{
    QJsonObject catalogue;
    for (const Course& course : courses) {
        QJsonArray weeks;
        for (const Week& week : course.weeks) {
            QJsonArray sections;
            for (const Section& section : week.sections) {
                QJsonArray problemList;
                for (int at : section.problems) {
                    const Problem& problem = problems[size_t(at)];
                    const auto found = progress.find(problem.key);
                    const Progress standing = found == progress.end() ? Progress{} : found->second;
                    QJsonObject sent{
                        {QStringLiteral("display_name"), problem.displayName},
                        {QStringLiteral("url_name"), problem.key.problem},
                        {QStringLiteral("close_date"), double(problem.closeDate)},
                        {QStringLiteral("hasInit"), !problem.initScript.isEmpty()},
                        {QStringLiteral("max_attempts"), problem.maxAttemptsValue()},
                        {QStringLiteral("possible"), problem.possible},
                        {QStringLiteral("attempts"), standing.attempts},
                        {QStringLiteral("earned"), standing.earned},
                        {QStringLiteral("complete"), standing.complete},
                    };
                    if (problem.timeLimit >= 0)
                        sent.insert(QStringLiteral("time_limit"), double(problem.timeLimit));
                    if (!problem.servers.isEmpty())
                        sent.insert(QStringLiteral("servers"), QJsonArray::fromStringList(problem.servers));
                    problemList.append(sent);
                }
                sections.append(QJsonObject{
                    {QStringLiteral("display_name"), section.displayName},
                    {QStringLiteral("url_name"), section.urlName},
                    {QStringLiteral("multistep"), section.multistep},
                    {QStringLiteral("problems"), problemList},
                });
            }
            weeks.append(QJsonObject{
                {QStringLiteral("display_name"), week.displayName},
                {QStringLiteral("url_name"), week.urlName},
                {QStringLiteral("sections"), sections},
            });
        }
        catalogue.insert(course.key, weeks);
    }
    return catalogue;
}

QByteArray CourseDirectory::readScript(const Problem& problem, bool init, bool* ok) const
{
    *ok = false;
    const QString& path = init ? problem.initScript : problem.gradingScript;
    if (path.isEmpty())
        return {};
    QFile file(QDir(root).filePath(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray script = file.readAll();
    *ok = file.error() == QFileDevice::NoError;
    return script;
}
