#pragma once

// What the benchmarks share: Google Benchmark with repetitions randomly interleaved in one run, then a table
// of the medians' ratios against their targets, and sanity checks. A missed target is only reported; a
// failed check makes the run fail. And the means to the runs: the same random values every time, and a
// core for each thread.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

// Starts Google Benchmark with 20 repetitions, randomly interleaved, showing their aggregates; flags on
// the command line override these. False if the command line holds anything else.
bool initializeBenchmarks(int argc, char **argv);

// Shows the runs as the console reporter does, and keeps each benchmark's median time per iteration (ns)
// and mean allocations per iteration over its repetitions, or those of its one run.
class TableReporter : public benchmark::ConsoleReporter {
public:
    using benchmark::ConsoleReporter::ConsoleReporter;
    void ReportRuns(const std::vector<Run> &runs) override;

    struct Figure {
        double value = NAN;  // until the benchmark has run
    };
    std::map<std::string, Figure> medianNanoseconds, meanAllocations;
};

// The table of ratios and the checks after it.
class ResultTable {
public:
    explicit ResultTable(std::FILE *out) : out(out) {}
    // The column headings, after a line that says what the rows compare.
    void begin(const char *about);
    // One comparison: A, B (NaN: none), A/B, the target and whether A met it.
    void row(const std::string &what, double a, double b, const char *target, bool met);
    // Ends a check line the caller has begun: "not run", "yes", or "NO", which fails the run.
    void verdict(bool ran, bool holds);
    bool sound() const { return allHold; }

private:
    std::FILE *out;
    bool allHold = true;
};

// Uniform random numbers from a fixed seed, so that every run measures the same values.
class Uniform {
public:
    double operator()(double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); }

private:
    std::mt19937_64 random{27015};
};

// Keeps the calling thread on `cpu`. The measuring thread and the clients' reader each keep a core of their
// own, as a client process waiting on its own core would. Left to the scheduler, the reader is now and then
// woken on the sender's core, where it runs before the send returns and so is timed with it.
void pinToCpu(int cpu);
