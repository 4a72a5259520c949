// Building the course tree against parsing the catalogue it comes from: the tree is built right
// after the catalogue arrives, so it should cost no more than about the parse itself.
#include "catalogue.h"

#include <QJsonDocument>

namespace {

using benchcatalogue::buildTree;
using benchcatalogue::catalogueBytes;

void parseCatalogue(benchmark::State& state)
{
    const QByteArray bytes = catalogueBytes(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(QJsonDocument::fromJson(bytes));
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
}

BENCHMARK(parseCatalogue)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(buildTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchcatalogue::RatioReporter reporter("parseCatalogue", "buildTree");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
