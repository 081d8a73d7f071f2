// The shared thread pool's size for a process, from the CPUs it may run on.
#include "onnxruntime/process_cpus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace runtime {
namespace {

// Two CPUs per core: CPUs 2k and 2k+1 share core k.
std::string paired(int cpu) { return "core" + std::to_string(cpu / 2); }
std::string alone(int cpu) { return "cpu" + std::to_string(cpu); }

TEST(ProcessCpus, ThreadsPerCoreTheProcessMayUse) {
    struct Case {
        const char* what;
        std::vector<int> allowed;
        long online;
        std::string (*core_of)(int);
        int expected;
    };
    const Case cases[] = {
        {"every CPU: ONNX Runtime's default", {0, 1, 2, 3}, 4, alone, 0},
        {"every CPU, with siblings: still the default", {0, 1, 2, 3}, 4, paired, 0},
        {"one CPU of four", {2}, 4, alone, 1},
        {"two CPUs of one core", {2, 3}, 8, paired, 1},
        {"one CPU of each of three cores", {0, 2, 5}, 8, paired, 3},
        {"two cores and a sibling", {0, 1, 2}, 4, paired, 2},
        {"affinity unreadable", {}, 4, alone, 0},
        {"online count unknown", {0}, -1, alone, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(intra_op_threads_for(c.allowed, c.online, c.core_of), c.expected) << c.what;
    }
}

}  // namespace
}  // namespace runtime
