// The window's share of showing a catalogue: from coursesLoaded to the course tree drawn on
// screen, against building the same tree alone. The window should add no more than the build.
// Then a run's feedback, 1,000 to 100,000 lines, into the window's tree and into the headless
// result document: the cost per line should not grow with the count.
#include "catalogue.h"
#include "engine/coursetree.h"
#include "frontend/gui.h"
#include "frontend/headless.h"

#include <QApplication>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QTreeWidget>

namespace {

using benchcatalogue::buildTree;

// The main view with no course server behind it: the catalogue request it sends fails, quietly.
class BenchGui : public frontend::GUI {
public:
    BenchGui()
        : GUI(nullptr)
    {
        network = new QNetworkAccessManager(this);
        loginStateChanged(LoginState::LoggedIn);
    }
    void errorMessage(const QString&, bool) override { }
    bool promptRetry(const QString&) override { return false; }

    using GUI::courseTree;
    using GUI::feedbackTree;
    using GUI::showPendingFeedback;
};

BenchGui* window = nullptr;

void showTree(benchmark::State& state)
{
    const QJsonObject catalogue = QJsonDocument::fromJson(benchcatalogue::catalogueBytes(int(state.range(0)))).object();
    for (auto _ : state) {
        window->coursesLoaded(catalogue);
        window->courseTree->viewport()->repaint();
        state.counters["courses"] = window->courseTree->topLevelItemCount();
        // A first load: the window held no tree before. The items are freed as buildTree frees
        // them, so both start from the same state of the heap.
        state.PauseTiming();
        QList<QTreeWidgetItem*> courses;
        while (window->courseTree->topLevelItemCount() > 0)
            courses.append(window->courseTree->takeTopLevelItem(0));
        qDeleteAll(courses);
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
}

// As the runner delivers them: one pipe read of lines at a time, with the event loop's work and
// the window drawn in between.
constexpr int linesPerRead = 500;

QString feedbackDetail(int line)
{
    return QStringLiteral("the server answered check %1 in time").arg(line);
}

void windowFeedback(benchmark::State& state)
{
    const int lines = int(state.range(0));
    window->feedbackTree->show();
    for (auto _ : state) {
        window->clearFeedback();
        for (int line = 0; line < lines; ++line) {
            window->addFeedback(QStringLiteral("check %1 passed").arg(line), feedbackDetail(line));
            if (line % linesPerRead == linesPerRead - 1) {
                QCoreApplication::processEvents();
                window->feedbackTree->viewport()->repaint();
            }
        }
        window->showPendingFeedback();
        window->feedbackTree->viewport()->repaint();
    }
    window->clearFeedback();
    state.counters["per_line"] = benchmark::Counter(
        double(lines), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetComplexityN(lines);
}

void headlessFeedback(benchmark::State& state)
{
    const int lines = int(state.range(0));
    for (auto _ : state) {
        frontend::Headless headless(frontend::Headless::Plan::TurnIn, nullptr);
        headless.clearFeedback();
        for (int line = 0; line < lines; ++line)
            headless.addFeedback(QStringLiteral("check %1 passed").arg(line), feedbackDetail(line));
        benchmark::DoNotOptimize(headless.resultDocument(0));
    }
    state.counters["per_line"] = benchmark::Counter(
        double(lines), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetComplexityN(lines);
}

BENCHMARK(buildTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(showTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(windowFeedback)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(headlessFeedback)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    // The front ends log every feedback line; the program writes that to its log file, which is
    // not what is measured here.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    BenchGui gui;
    window = &gui;
    QCoreApplication::processEvents();
    benchcatalogue::RatioReporter reporter("buildTree", "showTree");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
