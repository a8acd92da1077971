// The micro benchmarks' entry: the line layer needs an application object for its
// event loop.
#include "benchmark_main.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    return RunBenchmarks<QCoreApplication>(argc, argv);
}
