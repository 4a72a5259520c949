#pragma once

// Generated course catalogues and a reporter that sets one benchmark against another, shared by
// the benchmarks of the course tree and of the window that shows it.
#include "engine/coursetree.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTreeWidgetItem>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>

namespace benchcatalogue {

constexpr int problemsPerSection = 5;
constexpr int sectionsPerWeek = 4;
constexpr int weeksPerCourse = 10;
constexpr int problemsPerCourse = problemsPerSection * sectionsPerWeek * weeksPerCourse;

inline QJsonObject problemObject(int course, int week, int section, int problem)
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
inline QByteArray catalogueBytes(int problems)
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

// Whether a run failed or was skipped: the library's 1.8 replaced the flag error_occurred (Debian 12)
// by the state skipped (Debian 13).
template <typename Run>
auto runFailed(const Run& run, int) -> decltype(static_cast<bool>(run.skipped))
{
    return static_cast<bool>(run.skipped);
}
template <typename Run>
bool runFailed(const Run& run, long)
{
    return run.error_occurred;
}

// The usual console table, then one benchmark as a multiple of another at each size, in CPU time:
// the machines this runs on are shared, and waiting for a core is no cost of either. With
// --benchmark_repetitions the medians are compared.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter(std::string baseName, std::string measuredName)
        : base(std::move(baseName))
        , measured(std::move(measuredName))
    {
    }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (runFailed(run, 0) || (run.run_type == Run::RT_Aggregate && !median))
                continue;
            if (median || runs.size() == 1)
                times[run.run_name.args][run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
    }

    void Finalize() override
    {
        std::printf("\n%10s %14s %14s %10s %14s\n", "problems", (base + " ms").c_str(), (measured + " ms").c_str(),
                    "ratio", "ns/problem");
        for (const auto& [args, byName] : times) {
            const auto first = byName.find(base);
            const auto second = byName.find(measured);
            if (first == byName.end() || second == byName.end())
                continue;
            const double problems = std::stod(args);
            std::printf("%10.0f %14.3f %14.3f %9.2fx %14.0f\n", problems, first->second, second->second,
                        second->second / first->second, second->second * 1e6 / problems);
        }
    }

private:
    std::string base;
    std::string measured;
    // CPU milliseconds per iteration by argument, then benchmark.
    std::map<std::string, std::map<std::string, double>> times;
};

// buildCourseTree alone on a parsed catalogue; freeing the tree is not timed.
inline void buildTree(benchmark::State& state)
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

}
