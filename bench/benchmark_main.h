#pragma once

#include <benchmark/benchmark.h>

// Runs the registered benchmarks inside an application object of type App, whose event
// loop the measured code needs.
template <typename App> int RunBenchmarks(int argc, char* argv[]) {
    App app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
