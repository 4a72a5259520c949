#include "engine/oxbell.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryFile>

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

constexpr int lineCount = 100000;

const QByteArray script = "from oxbell import feedback\n"
                          "for i in range(100000):\n"
                          "    feedback('check %d passed' % i, 'the server answered check %d in time' % i)\n";

QString interpreter()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/pypy/bin/pypy");
}

QVariantMap settings()
{
    return {{QStringLiteral("servers"),
             QVariantMap{{QStringLiteral("web"),
                          QVariantMap{{QStringLiteral("address"), QStringLiteral("localhost")},
                                      {QStringLiteral("port"), QStringLiteral("8082")}}}}}};
}

// Hooks that only count, so that the time measured is the runner's own.
class CountingEngine : public Oxbell {
public:
    CountingEngine()
    {
        interpreterPath = interpreter();
        userSettings = settings();
    }

    // Seconds from the start of the run to its successful end; aborts on a failed run.
    double run()
    {
        feedbackCount = 0;
        QEventLoop loop;
        done = &loop;
        QElapsedTimer timer;
        timer.start();
        runState = 2;
        runScript(script, false);
        const int status = loop.exec();
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        done = nullptr;
        if (status != 0 || feedbackCount != lineCount)
            std::abort();
        return seconds;
    }

    void errorMessage(const QString&, bool) override { failed(); }
    bool promptRetry(const QString&) override { return false; }
    void showStatus(const QString&) override { }
    void alert(const QString&) override { }
    void notifyNewVersion(const QString&, const QString&) override { }
    void loginStateChanged(int) override { }
    void coursesLoaded(const QJsonObject&) override { }
    void showGradeResult(const QVariantMap&) override { }
    void scriptFailed() override { failed(); }
    void addFeedback(const QString&, const QString&) override { ++feedbackCount; }
    void clearFeedback() override { }
    void gradingFinished() override { done->exit(0); }
    void initCompleted() override { }
    void requestProxyCredentials(QAuthenticator*) override { }
    bool confirmTurnIn(const QString&) override { return false; }

private:
    void failed()
    {
        if (done)
            done->exit(1);
    }

    QEventLoop* done = nullptr;
    int feedbackCount = 0;
};

// The same child with the same input, its output going straight to /dev/null.
double runChildAlone(const QString& scriptFile)
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PYTHONPATH"), QCoreApplication::applicationDirPath());
    child.setProcessEnvironment(environment);
    child.setWorkingDirectory(QCoreApplication::applicationDirPath());
    child.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    child.start(interpreter(), {scriptFile});
    child.write(QJsonDocument(QJsonObject::fromVariantMap(settings())).toJson());
    child.closeWriteChannel();
    if (!child.waitForFinished(-1) || child.exitCode() != 0)
        std::abort();
    return double(timer.nsecsElapsed()) / 1e9;
}

// Each iteration runs the child alone, then through the runner, so that both see the same load.
void BM_HundredThousandFeedbackLines(benchmark::State& state)
{
    QTemporaryFile scriptFile;
    if (!scriptFile.open() || scriptFile.write("from oxbell import servers\n" + script) < 0 || !scriptFile.flush())
        std::abort();
    CountingEngine engine;
    double childTotal = 0;
    double runnerTotal = 0;
    for (auto _ : state) {
        childTotal += runChildAlone(scriptFile.fileName());
        const double runner = engine.run();
        runnerTotal += runner;
        state.SetIterationTime(runner);
    }
    const double iterations = double(state.iterations());
    state.counters["child_alone_ms"] = childTotal / iterations * 1000;
    state.counters["runner_ms"] = runnerTotal / iterations * 1000;
    state.counters["runner_vs_child"] = runnerTotal / childTotal;
}
BENCHMARK(BM_HundredThousandFeedbackLines)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
