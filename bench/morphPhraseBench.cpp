// Micro-benchmarks of the tool's generator and digest, each beside a peer,
// and whole evolutions with each kernel of the loop.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "evolve.h"
#include "mt19937ar.h"
#include "mt19937arKernels.h"
#include "sha256.h"

namespace {

void BM_genrand_int32(benchmark::State &state) {
    init_genrand(5489u);
    for (auto _ : state) benchmark::DoNotOptimize(genrand_int32());
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_genrand_int32);

// Draws in blocks, as the evolution loop takes them.
void BM_mt19937ar_words(benchmark::State &state) {
    init_genrand(5489u);
    std::vector<uint32_t> block(4 * 624);
    for (auto _ : state) {
        mt19937ar_words(block.data(), block.size());
        benchmark::DoNotOptimize(block.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(block.size()));
}
BENCHMARK(BM_mt19937ar_words);

// One regeneration and tempering of the whole vector with each kernel that
// the processor runs.
void BM_mtKernel(benchmark::State &state, const char *name, void (*regenerate)(uint32_t *),
                 void (*temper)(const uint32_t *, uint32_t *, size_t)) {
    if (!mtKernelRuns(name)) {
        state.SkipWithError("not supported by this processor");
        return;
    }
    std::vector<uint32_t> v(624, 0x12345678u), out(624);
    for (auto _ : state) {
        regenerate(v.data());
        temper(v.data(), out.data(), out.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 624);
}
BENCHMARK_CAPTURE(BM_mtKernel, portable, "portable", mtRegenerate_portable, mtTemper_portable);
BENCHMARK_CAPTURE(BM_mtKernel, avx2, "avx2", mtRegenerate_avx2, mtTemper_avx2);
BENCHMARK_CAPTURE(BM_mtKernel, avx512, "avx512", mtRegenerate_avx512, mtTemper_avx512);

void BM_std_mt19937(benchmark::State &state) {
    std::mt19937 rng(5489u);
    for (auto _ : state) benchmark::DoNotOptimize(rng());
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_std_mt19937);

void BM_sha256_update(benchmark::State &state) {
    std::vector<uint8_t> data(size_t(state.range(0)), 0x5A);
    sha256_ctx ctx;
    sha256_starts(&ctx);
    for (auto _ : state) {
        sha256_update(&ctx, data.data(), uint32_t(data.size()));
        benchmark::DoNotOptimize(ctx.state[0]);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_sha256_update)->Arg(64)->Arg(65536);

// A whole evolution of a fixed phrase of random letters (as the tool's
// benchmark gives it) from a fixed seed, with each kernel that the processor
// runs: the same tries every time, counted as the items.
void BM_evolve(benchmark::State &state, EvolveKernel kernel) {
    if (!evolveKernelRuns(kernel)) {
        state.SkipWithError("not supported by this processor");
        return;
    }
    const size_t n = size_t(state.range(0));
    std::string phrase(n, ' ');
    std::mt19937 letters(2024u);
    for (char &c : phrase) c = char('a' + letters() % 26);
    std::vector<char> buf(n + 1);
    std::vector<unsigned char> correct(n);
    int64_t tries = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::memset(buf.data(), '.', n);
        buf[n] = '\0';
        std::memset(correct.data(), 0, n);
        init_genrand(12345u);
        state.ResumeTiming();
        tries += evolveWith(kernel, phrase.c_str(), buf.data(), correct.data(), n, 0, nullptr);
    }
    state.SetItemsProcessed(tries);
}
// The tool's benchmark phrase length; one evolution (about 0.8 G tries) is a
// long enough measurement on its own.
void evolveArgs(benchmark::internal::Benchmark *b) {
    b->Arg(2000000)->Iterations(1)->Unit(benchmark::kMillisecond);
}
BENCHMARK_CAPTURE(BM_evolve, portable, EvolveKernel::portable)->Apply(evolveArgs);
BENCHMARK_CAPTURE(BM_evolve, avx2, EvolveKernel::avx2)->Apply(evolveArgs);
BENCHMARK_CAPTURE(BM_evolve, avx512, EvolveKernel::avx512)->Apply(evolveArgs);

}  // namespace

// --evolve-kernel names the kernel that the tool's loop uses here, for the
// benchmark script's heading; anything else is Google Benchmark's.
int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--evolve-kernel") == 0) {
        std::puts(evolveKernelName(evolveKernel()));
        return 0;
    }
    benchmark::AddCustomContext("evolution kernel", evolveKernelName(evolveKernel()));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
