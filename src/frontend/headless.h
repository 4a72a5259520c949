#pragma once

#include "engine/oxbell.h"

#include <QStringList>
#include <QVariantMap>

class QTreeWidgetItem;

namespace frontend {

// Runs the init or grading script of the catalogue's first problem without a user and prints
// one JSON result document on standard output.
class Headless : public Oxbell {
    Q_OBJECT

public:
    static const QString loginEmail;
    static const QString password;
    // Refusals of the fixed login after which the run gives up.
    static constexpr int maxLoginRefusals = 3;

    // What the run does with the catalogue's first problem.
    enum class Plan {
        Init, // run its init script
        TurnIn, // run its grading script and turn the result in
        SendAgain, // send the result kept from a failed turn-in again
    };

    Headless(Plan plan, QObject* parent);
    ~Headless() override;

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

    void startGradingRun();
    void startInitRun();
    void printResult(int exitCode);
    // The result document as printResult writes it.
    QByteArray resultDocument(int exitCode) const;

private:
    Plan plan;
    QTreeWidgetItem* rootItem;
    QTreeWidgetItem* currentItem = nullptr;
    QVariantMap resultMap;
    // Kept apart from resultMap and joined once at the end, so that each entry costs the same
    // however many came before.
    QStringList feedback;
    bool feedbackCleared = false;
    QStringList errorMessages;
    // A run prints exactly one document: the first outcome wins, later notices are dropped.
    bool resultPrinted = false;
    int loginRefusals = 0;
};

}
