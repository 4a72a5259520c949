// The window's share of showing a catalogue: from coursesLoaded to the course tree drawn on
// screen, against building the same tree alone. The window should add no more than the build.
#include "catalogue.h"
#include "engine/coursetree.h"
#include "frontend/gui.h"

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

BENCHMARK(buildTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(showTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
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
