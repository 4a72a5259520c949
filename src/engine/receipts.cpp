#include "engine/receipts.h"
#include "engine/names.h"
#include "engine/privatefile.h"
#include "engine/settingsfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

QJsonObject problemObject(const PostedProblem& post)
{
    return {{JsonKey::server, post.server},
            {JsonKey::course, post.course},
            {JsonKey::week, post.week},
            {JsonKey::section, post.section},
            {JsonKey::problem, post.problem},
            {JsonKey::displayName, post.displayName},
            {JsonKey::mode, post.test ? PostMode::test : PostMode::turnIn}};
}

PostedProblem problemOf(const QJsonObject& object)
{
    PostedProblem post;
    post.server = object.value(JsonKey::server).toString();
    post.course = object.value(JsonKey::course).toString();
    post.week = object.value(JsonKey::week).toString();
    post.section = object.value(JsonKey::section).toString();
    post.problem = object.value(JsonKey::problem).toString();
    post.displayName = object.value(JsonKey::displayName).toString();
    post.test = object.value(JsonKey::mode).toString() == PostMode::test;
    return post;
}

QDateTime timeOf(const QJsonObject& object, const QString& key)
{
    return QDateTime::fromString(object.value(key).toString(), Qt::ISODate).toUTC();
}

QString timeText(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODate);
}

bool makeDirectory(const QString& path, QString* error)
{
    if (QDir().mkpath(path))
        return true;
    *error = path + QStringLiteral(": the folder could not be made");
    return false;
}

// Opens the file for appending; a new file is readable by its owner only from the first byte on,
// and one that was left readable by others is closed to them.
bool openForAppending(QFile& file, QString* error)
{
    const bool opened = privatefile::openForAppending(file);
    if (!opened)
        *error = file.fileName() + QStringLiteral(": ") + file.errorString();
    return opened;
}

}

bool PostedProblem::sameProblem(const PostedProblem& other) const
{
    return server == other.server && course == other.course && week == other.week && section == other.section
        && problem == other.problem;
}

QString Receipt::summary() const
{
    const QString what = post.test ? QStringLiteral("Last test: ") : QStringLiteral("Last turn-in: ");
    const QString outcome = answered
        ? answer.value(JsonKey::earned).toString() + QLatin1Char('/') + answer.value(JsonKey::possible).toString()
        : QStringLiteral("failed (") + Receipts::failureLine(failure) + QLatin1Char(')');
    return what + outcome + QStringLiteral(", ") + time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString Receipts::directory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QString Receipts::receiptPath()
{
    return directory() + QLatin1Char('/') + DataFileName::receipts;
}

bool Receipts::append(const Receipt& receipt, QString* error)
{
    QJsonObject line = problemObject(receipt.post);
    line.insert(JsonKey::time, timeText(receipt.time));
    if (receipt.answered)
        line.insert(JsonKey::answer, QJsonObject::fromVariantMap(receipt.answer));
    else
        line.insert(JsonKey::failure, failureLine(receipt.failure));
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';

    QFile file(receiptPath());
    if (!makeDirectory(directory(), error) || !openForAppending(file, error))
        return false;
    // One write, so that a line is never interleaved with another client's.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        *error = file.fileName() + QStringLiteral(": ") + file.errorString();
        return false;
    }
    file.close();
    return trim(error);
}

QString Receipts::failureLine(const QString& reason)
{
    QString line = reason;
    // A proxy's error page is markup; its words are what tell.
    if (line.trimmed().startsWith(QLatin1Char('<')))
        line.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    line = line.simplified();
    if (line.size() > maxFailureChars)
        line = line.left(maxFailureChars - 3) + QStringLiteral("...");
    return line;
}

bool Receipts::trim(QString* error)
{
    QFile file(receiptPath());
    if (!file.open(QIODevice::ReadOnly))
        return true;
    const QByteArray contents = file.readAll();
    file.close();
    if (contents.count('\n') <= 2 * maxLines)
        return true;
    // The newest lines, whole: the cut falls after a line break.
    int from = contents.size();
    for (int lines = 0; lines < maxLines && from > 0; ++lines)
        from = contents.lastIndexOf('\n', from - 2) + 1;
    SettingsFile trimmed(receiptPath());
    trimmed.setOwnerOnly(true);
    if (!trimmed.write(contents.mid(from))) {
        *error = trimmed.path() + QStringLiteral(": ") + trimmed.errorString();
        return false;
    }
    return true;
}

std::optional<Receipt> Receipts::latest(const PostedProblem& problem)
{
    QFile file(receiptPath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Lines are appended as posts end: the newest receipt is the last line that names the problem,
    // found by reading back from the end a block at a time.
    constexpr qint64 blockBytes = 64 << 10;
    qint64 end = file.size();
    QByteArray cut; // the start of a line whose beginning lies in the block before
    while (end > 0) {
        const qint64 start = qMax<qint64>(0, end - blockBytes);
        if (!file.seek(start))
            return std::nullopt;
        const QByteArray block = file.read(end - start) + cut;
        end = start;
        int lineEnd = block.size();
        for (;;) {
            const int lineBreak = lineEnd > 0 ? block.lastIndexOf('\n', lineEnd - 1) : -1;
            if (lineBreak < 0 && start > 0)
                break;
            const QJsonObject line
                = QJsonDocument::fromJson(block.mid(lineBreak + 1, lineEnd - lineBreak - 1)).object();
            Receipt receipt;
            receipt.post = problemOf(line);
            receipt.time = timeOf(line, JsonKey::time);
            // A line cut short (a full disk) or from another program is passed over.
            if (receipt.time.isValid() && receipt.post.sameProblem(problem)) {
                receipt.answered = line.value(JsonKey::answer).isObject();
                receipt.answer = line.value(JsonKey::answer).toObject().toVariantMap();
                receipt.failure = line.value(JsonKey::failure).toString();
                return receipt;
            }
            if (lineBreak < 0)
                break;
            lineEnd = lineBreak;
        }
        cut = block.left(lineEnd);
    }
    return std::nullopt;
}

QString Receipts::keptPath(const PostedProblem& problem)
{
    // The identifiers may hold anything; their digest makes a file name of them.
    const QByteArray identity
        = QStringList{problem.server,  problem.course,  problem.week,
                      problem.section, problem.problem, problem.test ? PostMode::test : PostMode::turnIn}
              .join(QLatin1Char('\n'))
              .toUtf8();
    return directory() + QLatin1Char('/') + DataFileName::kept + QLatin1Char('/')
        + QString::fromLatin1(QCryptographicHash::hash(identity, QCryptographicHash::Sha256).toHex())
        + QStringLiteral(".json");
}

bool Receipts::keep(const KeptResult& kept, QString* error)
{
    QJsonObject object = problemObject(kept.post);
    object.insert(JsonKey::keptAt, timeText(kept.keptAt));
    object.insert(JsonKey::attemptsBefore, QJsonValue::fromVariant(kept.attemptsBefore));
    object.insert(JsonKey::state, kept.state.isObject() ? QJsonValue(kept.state.object()) : QJsonValue());

    const QString folder = directory() + QLatin1Char('/') + DataFileName::kept;
    if (!makeDirectory(folder, error))
        return false;
    privatefile::restrictFolder(folder);
    // Results of problems the student never comes back to would stay for ever.
    const QDateTime expired = QDateTime::currentDateTimeUtc().addDays(-keptDays);
    for (const QFileInfo& entry : QDir(folder).entryInfoList({QStringLiteral("*.json")}, QDir::Files)) {
        QFile other(entry.filePath());
        if (other.open(QIODevice::ReadOnly)
            && timeOf(QJsonDocument::fromJson(other.readAll()).object(), JsonKey::keptAt) < expired)
            QFile::remove(entry.filePath());
    }
    SettingsFile file(keptPath(kept.post));
    file.setOwnerOnly(true);
    if (!file.write(QJsonDocument(object).toJson())) {
        *error = file.path() + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

std::optional<KeptResult> Receipts::kept(const PostedProblem& problem)
{
    QFile file(keptPath(problem));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    file.close();

    KeptResult kept;
    kept.post = problemOf(object);
    kept.keptAt = timeOf(object, JsonKey::keptAt);
    if (!kept.keptAt.isValid() || !kept.post.sameProblem(problem) || kept.post.test != problem.test
        || kept.keptAt.addDays(keptDays) < QDateTime::currentDateTimeUtc()) {
        drop(problem);
        return std::nullopt;
    }
    kept.attemptsBefore = object.value(JsonKey::attemptsBefore).toVariant();
    const QJsonValue state = object.value(JsonKey::state);
    if (state.isObject())
        kept.state = QJsonDocument(state.toObject());
    return kept;
}

void Receipts::drop(const PostedProblem& problem)
{
    QFile::remove(keptPath(problem));
}
