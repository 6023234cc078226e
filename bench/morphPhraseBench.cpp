// Micro-benchmarks of the tool's generator and digest, each beside a peer.
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "mt19937ar.h"
#include "sha256.h"

namespace {

void BM_genrand_int32(benchmark::State &state) {
    init_genrand(5489u);
    for (auto _ : state) benchmark::DoNotOptimize(genrand_int32());
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_genrand_int32);

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

}  // namespace

BENCHMARK_MAIN();
