#include "frontend/headless.h"

#include "engine/names.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTreeWidgetItem>

#include <cstdio>

namespace frontend {

const QString Headless::loginEmail = QStringLiteral(OXBELL_HEADLESS_EMAIL);
const QString Headless::password = QStringLiteral(OXBELL_HEADLESS_PASSWORD);

namespace {
void writeError(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}
}

Headless::Headless(Plan runPlan, QObject* parent)
    : Oxbell(parent)
    , plan(runPlan)
    , rootItem(new QTreeWidgetItem(QTreeWidgetItem::Type))
{
}

Headless::~Headless()
{
    delete rootItem;
}

void Headless::errorMessage(const QString& message, bool fatal)
{
    if (resultPrinted)
        return;
    errorMessages.append(message);
    if (fatal)
        printResult(1);
}

bool Headless::promptRetry(const QString& message)
{
    writeError(message + QLatin1Char('\n'));
    return false;
}

void Headless::showStatus(const QString&) { }

// Nobody is there to press a key, so unlike the interactive front ends there is no pause.
void Headless::alert(const QString& message)
{
    writeError(message);
}

void Headless::notifyNewVersion(const QString&, const QString&) { }

void Headless::loginStateChanged(int state)
{
    if (resultPrinted)
        return;
    switch (state) {
    case LoginState::Refused:
        if (++loginRefusals >= maxLoginRefusals) {
            printResult(1);
            return;
        }
        login(loginEmail, password);
        break;
    case LoginState::Ready:
        login(loginEmail, password);
        break;
    case LoginState::LoggedIn:
        loadCourses();
        break;
    default:
        break;
    }
}

void Headless::coursesLoaded(const QJsonObject& catalogue)
{
    if (resultPrinted)
        return;
    forgetRunningItem();
    delete rootItem;
    rootItem = new QTreeWidgetItem(QTreeWidgetItem::Type);
    rootItem->addChildren(buildCourseTree(catalogue));

    QTreeWidgetItem* course = rootItem->child(0);
    QTreeWidgetItem* week = course ? course->child(0) : nullptr;
    currentItem = week ? week->child(0) : nullptr;
    if (!currentItem) {
        errorMessage(QStringLiteral("The course catalogue holds no problem to run: its first course, week or section "
                                    "is missing."),
                     false);
        printResult(1);
        return;
    }
    switch (plan) {
    case Plan::Init:
        startInitRun();
        break;
    case Plan::TurnIn:
        testMode = false;
        startGradingRun();
        break;
    case Plan::SendAgain:
        sendKeptResult(currentItem);
        break;
    }
}

void Headless::showGradeResult(const QVariantMap& result)
{
    if (resultPrinted)
        return;
    addResultFeedback(result);
    resultMap.insert(JsonKey::grade, result.value(JsonKey::earned));
    printResult(0);
}

void Headless::scriptFailed()
{
    printResult(1);
}

void Headless::addFeedback(const QString& summary, const QString& detail)
{
    if (resultPrinted)
        return;
    feedback.append(detail.isEmpty() ? summary : summary + QLatin1Char('\n') + detail);
}

void Headless::clearFeedback()
{
    feedback.clear();
    feedbackCleared = true;
}

void Headless::gradingFinished()
{
    // A run already reported as failed (standard error output) must not turn in a grade.
    if (resultPrinted)
        return;
    postRunGrade();
}

void Headless::initCompleted()
{
    printResult(0);
}

void Headless::requestProxyCredentials(QAuthenticator* authenticator)
{
    authenticator->setUser(QStringLiteral("user"));
    authenticator->setPassword(password);
}

// Nobody is there to answer: the turn-in goes on, and the log says what was found.
bool Headless::confirmTurnIn(const QString& question)
{
    qWarning().noquote() << "Turning in all the same:" << question;
    return true;
}

void Headless::startGradingRun()
{
    startProblemRun(testMode ? RunKind::Test : RunKind::TurnIn, currentItem);
}

void Headless::startInitRun()
{
    startProblemRun(RunKind::Init, currentItem);
}

void Headless::printResult(int exitCode)
{
    if (resultPrinted)
        return;
    resultPrinted = true;
    const QByteArray document = resultDocument(exitCode);
    std::fwrite(document.constData(), 1, size_t(document.size()), stdout);
    std::fflush(stdout);
    QCoreApplication::exit(0);
}

QByteArray Headless::resultDocument(int exitCode) const
{
    QJsonObject result = QJsonObject::fromVariantMap(resultMap);
    if (feedbackCleared || !feedback.isEmpty())
        result.insert(JsonKey::feedback, QJsonArray::fromStringList(feedback));
    if (!errorMessages.isEmpty())
        result.insert(JsonKey::errorMessages, QJsonArray::fromStringList(errorMessages));
    result.insert(JsonKey::exitCode, exitCode);
    return QJsonDocument(result).toJson();
}

}
