// The instruction sets that the processor runs, against the flags that the
// system lists for it.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "processors.h"

namespace {

// The first processor's flags in /proc/cpuinfo; empty where there are none.
std::set<std::string> listedFlags() {
    std::set<std::string> flags;
    FILE *f = std::fopen("/proc/cpuinfo", "r");
    if (f == nullptr) return flags;
    static char line[16384];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "flags", 5) != 0) continue;
        for (char *word = std::strtok(std::strchr(line, ':') + 1, " \n"); word != nullptr;
             word = std::strtok(nullptr, " \n")) {
            flags.insert(word);
        }
        break;
    }
    std::fclose(f);
    return flags;
}

TEST(Processors, RunsTheInstructionSetsTheSystemLists) {
    const struct {
        InstructionSet set;
        const char *name;
        std::vector<std::string> flags;  // all of them
    } rows[] = {
        {InstructionSet::sse2, "sse2", {"sse2"}},
        {InstructionSet::avx2, "avx2", {"avx2", "popcnt", "bmi1"}},
        {InstructionSet::avx512f, "avx512f", {"avx512f", "popcnt", "bmi1"}},
        {InstructionSet::avx512bw, "avx512bw", {"avx512bw"}},
        {InstructionSet::avx512PopcountGfni, "avx512PopcountGfni", {"avx512f", "avx512bw", "avx512_vpopcntdq", "gfni"}},
    };
    EXPECT_TRUE(processorRuns(InstructionSet::portable));
    if (!SUITE_X86_64_KERNELS) {
        // A build without x86-64 kernels runs none of their sets.
        for (const auto &row : rows) EXPECT_FALSE(processorRuns(row.set)) << row.name;
        return;
    }
    const std::set<std::string> listed = listedFlags();
    if (listed.empty()) GTEST_SKIP() << "the system lists no processor flags";
    std::string runs;
    for (const auto &row : rows) {
        bool all = true;
        for (const std::string &flag : row.flags) all = all && listed.count(flag) != 0;
        EXPECT_EQ(processorRuns(row.set), all) << row.name;
        if (processorRuns(row.set)) runs += std::string(" ") + row.name;
    }
    std::printf("instruction sets this processor runs: portable%s\n", runs.c_str());
}

}  // namespace
