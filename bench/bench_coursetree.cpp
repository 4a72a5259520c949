// Building the course tree against parsing the catalogue it comes from: the tree is built right
// after the catalogue arrives, so it should cost no more than about the parse itself.
#include "engine/coursetree.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTreeWidgetItem>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr int problemsPerSection = 5;
constexpr int sectionsPerWeek = 4;
constexpr int weeksPerCourse = 10;
constexpr int problemsPerCourse = problemsPerSection * sectionsPerWeek * weeksPerCourse;

QJsonObject problemObject(int course, int week, int section, int problem)
{
    const int n = ((course * weeksPerCourse + week) * sectionsPerWeek + section) * problemsPerSection + problem;
    return {{"display_name", QStringLiteral("Problem %1.%2.%3").arg(week + 1).arg(section + 1).arg(problem + 1)},
            {"url_name", QStringLiteral("problem_%1").arg(n)},
            {"complete", n % 3 == 0},
            {"close_date", 1700000000 + n * 60},
            {"hasInit", n % 2 == 0},
            {"attempts", n % 4},
            {"max_attempts", 5},
            {"earned", n % 3 == 0 ? 1 : 0},
            {"possible", 1}};
}

// A compact catalogue of courses of 10 weeks of 4 sections of 5 problems; every other section is
// multistep.
QByteArray catalogueBytes(int problems)
{
    QJsonObject catalogue{{"status", "ok"}};
    for (int course = 0; course * problemsPerCourse < problems; ++course) {
        QJsonArray weeks;
        for (int week = 0; week < weeksPerCourse; ++week) {
            QJsonArray sections;
            for (int section = 0; section < sectionsPerWeek; ++section) {
                QJsonArray items;
                for (int problem = 0; problem < problemsPerSection; ++problem)
                    items.append(problemObject(course, week, section, problem));
                sections.append(QJsonObject{{"display_name", QStringLiteral("Section %1").arg(section + 1)},
                                            {"url_name", QStringLiteral("section_%1").arg(section)},
                                            {"multistep", section % 2 == 1},
                                            {"problems", items}});
            }
            weeks.append(QJsonObject{{"display_name", QStringLiteral("Week %1").arg(week + 1)},
                                     {"url_name", QStringLiteral("week_%1").arg(week)},
                                     {"sections", sections}});
        }
        catalogue.insert(QStringLiteral("Org/Course_%1/Run_2024").arg(course, 4, 10, QLatin1Char('0')), weeks);
    }
    return QJsonDocument(catalogue).toJson(QJsonDocument::Compact);
}

void parseCatalogue(benchmark::State& state)
{
    const QByteArray bytes = catalogueBytes(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(QJsonDocument::fromJson(bytes));
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
}

void buildTree(benchmark::State& state)
{
    const QJsonObject catalogue = QJsonDocument::fromJson(catalogueBytes(int(state.range(0)))).object();
    for (auto _ : state) {
        const QList<QTreeWidgetItem*> courses = buildCourseTree(catalogue);
        state.PauseTiming();
        qDeleteAll(courses);
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
}

BENCHMARK(parseCatalogue)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(buildTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

// The usual console table, then the tree build as a multiple of the parse of the same bytes, in
// CPU time: the machines this runs on are shared, and waiting for a core is no cost of either.
// With --benchmark_repetitions the medians are compared.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (run.run_type == Run::RT_Aggregate && !median))
                continue;
            if (median || runs.size() == 1)
                times[run.run_name.args][run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
    }

    void Finalize() override
    {
        std::printf("\n%10s %12s %12s %12s %18s\n", "problems", "parse ms", "tree ms", "tree/parse", "tree ns/problem");
        for (const auto& [args, byName] : times) {
            const auto parse = byName.find("parseCatalogue");
            const auto tree = byName.find("buildTree");
            if (parse == byName.end() || tree == byName.end())
                continue;
            const double problems = std::stod(args);
            std::printf("%10.0f %12.3f %12.3f %11.2fx %18.0f\n", problems, parse->second, tree->second,
                        tree->second / parse->second, tree->second * 1e6 / problems);
        }
    }

private:
    // CPU milliseconds per iteration by argument, then benchmark.
    std::map<std::string, std::map<std::string, double>> times;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
