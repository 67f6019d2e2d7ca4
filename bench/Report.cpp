#include "bench/Report.h"

#include <sched.h>

bool initializeBenchmarks(int argc, char **argv) {
    static char repetitions[] = "--benchmark_repetitions=20",
                interleaving[] = "--benchmark_enable_random_interleaving=true",
                aggregatesOnly[] = "--benchmark_display_aggregates_only=true";
    std::vector<char *> arguments = {argv[0], repetitions, interleaving, aggregatesOnly};  // the defaults
    arguments.insert(arguments.end(), argv + 1, argv + argc);  // and the command line's, which override them
    int argumentCount = static_cast<int>(arguments.size());
    benchmark::Initialize(&argumentCount, arguments.data());
    return !benchmark::ReportUnrecognizedArguments(argumentCount, arguments.data());
}

void TableReporter::ReportRuns(const std::vector<Run> &runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
        const std::string &name = run.run_name.function_name;
        bool single = run.repetitions == 1;
        if (single || run.aggregate_name == "median") medianNanoseconds[name].value = run.GetAdjustedRealTime();
        auto allocations = run.counters.find("allocs");
        if ((single || run.aggregate_name == "mean") && allocations != run.counters.end())
            meanAllocations[name].value = allocations->second;
    }
}

void ResultTable::begin(const char *about) {
    std::fprintf(out, "\n%s\n%-50s %10s %10s %8s  %-14s %s\n", about, "what", "A", "B", "A/B", "target", "result");
}

void ResultTable::row(const std::string &what, double a, double b, const char *target, bool met) {
    char bText[16] = "-", ratio[16] = "-";  // no ratio when B is 0 or there is none
    if (!std::isnan(b)) std::snprintf(bText, sizeof bText, "%.3f", b);
    if (!std::isnan(b) && b != 0) std::snprintf(ratio, sizeof ratio, "%.3f", a / b);
    const char *result = std::isnan(a) ? "not run" : met ? "PASS" : "MISS";
    std::fprintf(out, "%-50s %10.3f %10s %8s  %-14s %s\n", what.c_str(), a, bText, ratio, target, result);
}

void ResultTable::verdict(bool ran, bool holds) {
    allHold = allHold && (!ran || holds);
    std::fprintf(out, ": %s\n", !ran ? "not run" : holds ? "yes" : "NO");
}

void pinToCpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}
