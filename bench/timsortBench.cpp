// The sort library against std::stable_sort and glibc's qsort on 16-byte
// tally records ordered by descending count, for several sizes and input
// orders. Each sorter calls the same comparison function, which lives in
// another file, through a pointer. Only the sort itself is timed (manual
// time); the input is copied in before each one. Comparisons are counted in
// one extra, untimed sort with a counting version of the same function.
//
// Each case runs nine times, interleaved at random with the others, and
// after the usual table, a summary gives for every size and order the median
// time per element of each sorter, timsort's ratio to the other two, and the
// comparisons per sort.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "timsort.h"
#include "timsortBenchCompare.h"

namespace {

// Read at run time, so that no sorter can see which function it calls.
int (*volatile gCompare)(const void *, const void *) = compareByDescendingCount;
int (*volatile gCountingCompare)(const void *, const void *) = countingCompareByDescendingCount;

const char *const kOrders[] = {"random", "sorted", "reversed", "16keys", "1%swaps"};
const char *const kSorters[] = {"timsort", "stable_sort", "qsort"};
const std::size_t kSizes[] = {256, 10000, 1000000};

std::vector<TallyRecord> makeInput(const std::string &order, std::size_t n) {
    std::mt19937_64 rng(12345 + n);
    std::vector<TallyRecord> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i].value = static_cast<std::uint8_t>(i);
    }
    if (order == "random") {
        for (auto &r : v) r.count = static_cast<std::int64_t>(rng() >> 1);
    } else if (order == "sorted") {  // in the sort's order: descending, distinct
        for (std::size_t i = 0; i < n; ++i) v[i].count = static_cast<std::int64_t>(n - i);
    } else if (order == "reversed") {
        for (std::size_t i = 0; i < n; ++i) v[i].count = static_cast<std::int64_t>(i);
    } else if (order == "16keys") {
        for (auto &r : v) r.count = static_cast<std::int64_t>(rng() % 16);
    } else {  // sorted, then 1% of the elements swapped in random pairs
        for (std::size_t i = 0; i < n; ++i) v[i].count = static_cast<std::int64_t>(n - i);
        for (std::size_t s = 0; s < n / 200 + 1; ++s) {
            std::swap(v[rng() % n], v[rng() % n]);
        }
    }
    return v;
}

void runSort(const std::string &sorter, TallyRecord *a, std::size_t n,
             int (*const c)(const void *, const void *)) {
    if (sorter == "timsort") {
        if (timsort(a, n, sizeof *a, c) != 0) {
            std::abort();
        }
    } else if (sorter == "stable_sort") {
        std::stable_sort(a, a + n, [c](const TallyRecord &x, const TallyRecord &y) { return c(&x, &y) < 0; });
    } else {
        std::qsort(a, n, sizeof *a, c);
    }
}

void benchSort(benchmark::State &state, std::string sorter, std::string order, std::size_t n) {
    const std::vector<TallyRecord> input = makeInput(order, n);
    std::vector<TallyRecord> work(n);
    for (auto _ : state) {
        std::memcpy(work.data(), input.data(), n * sizeof(TallyRecord));
        const auto start = std::chrono::steady_clock::now();
        runSort(sorter, work.data(), n, gCompare);
        const auto stop = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(work.data());
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    }
    // One more sort, untimed, to count its comparisons.
    std::memcpy(work.data(), input.data(), n * sizeof(TallyRecord));
    benchComparisons = 0;
    runSort(sorter, work.data(), n, gCountingCompare);
    state.counters["cmps"] = static_cast<double>(benchComparisons);
    state.counters["elems"] = static_cast<double>(n);
}

// The console table, and the medians kept for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") {
                continue;
            }
            const double ns = r.GetAdjustedRealTime() *
                              benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                              benchmark::GetTimeUnitMultiplier(r.time_unit);
            Median &m = medians_[r.run_name.function_name];
            m.nsPerElement = ns / r.counters.at("elems").value;
            m.comparisons = r.counters.at("cmps").value;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nMedian time per element (ns), timsort's ratio to each peer, comparisons per sort\n");
        std::printf("%-9s %-9s %9s %9s %9s %8s %8s %12s %12s %12s\n", "n", "order", "timsort",
                    "stable", "qsort", "ts/stbl", "ts/qsort", "cmp ts", "cmp stable", "cmp qsort");
        for (std::size_t n : kSizes) {
            for (const char *order : kOrders) {
                const Median *m[3] = {};
                for (int s = 0; s < 3; ++s) {
                    auto it = medians_.find(name(kSorters[s], order, n));
                    m[s] = it == medians_.end() ? nullptr : &it->second;
                }
                if (!m[0] || !m[1] || !m[2]) {
                    continue;
                }
                std::printf("%-9zu %-9s %9.2f %9.2f %9.2f %8.3f %8.3f %12.0f %12.0f %12.0f\n", n, order,
                            m[0]->nsPerElement, m[1]->nsPerElement, m[2]->nsPerElement,
                            m[0]->nsPerElement / m[1]->nsPerElement,
                            m[0]->nsPerElement / m[2]->nsPerElement, m[0]->comparisons,
                            m[1]->comparisons, m[2]->comparisons);
            }
        }
    }

    static std::string name(const std::string &sorter, const std::string &order, std::size_t n) {
        return sorter + "/" + order + "/" + std::to_string(n);
    }

private:
    struct Median {
        double nsPerElement = 0;
        double comparisons = 0;
    };
    std::map<std::string, Median> medians_;
};

}  // namespace

int main(int argc, char **argv) {
    for (std::size_t n : kSizes) {
        for (const char *order : kOrders) {
            for (const char *sorter : kSorters) {
                benchmark::RegisterBenchmark(SummaryReporter::name(sorter, order, n).c_str(), benchSort,
                                             std::string(sorter), std::string(order), n)
                    ->UseManualTime()
                    ->Unit(benchmark::kMicrosecond)
                    ->MinTime(0.2)
                    ->Repetitions(9)
                    ->ReportAggregatesOnly(true);
            }
        }
    }
    // The machine is shared: repetitions of the sorters are interleaved at
    // random, so that a busy spell falls on all of them alike, unless the
    // command line says otherwise.
    std::vector<char *> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    argc = count;
    argv = args.data();
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
