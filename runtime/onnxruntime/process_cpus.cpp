#include "onnxruntime/process_cpus.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <set>

namespace runtime {
namespace {

// The CPUs this thread may run on; empty when they cannot be read.
std::vector<int> allowed_cpus() {
    std::vector<int> cpus;
    // The set grows until the kernel's mask fits in it.
    for (int size = 1024; size <= (1 << 22); size *= 2) {
        cpu_set_t* set = CPU_ALLOC(size);
        if (set == nullptr) return cpus;
        const size_t bytes = CPU_ALLOC_SIZE(size);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(0, bytes, set) == 0) {
            for (int cpu = 0; cpu < size; ++cpu) {
                if (CPU_ISSET_S(cpu, bytes, set)) cpus.push_back(cpu);
            }
            CPU_FREE(set);
            return cpus;
        }
        const int error = errno;
        CPU_FREE(set);
        if (error != EINVAL) return cpus;
    }
    return cpus;
}

// The CPUs that share `cpu`'s core, as the kernel lists them; the CPU alone
// where the topology cannot be read (each then counts as a core).
std::string core_of(int cpu) {
    const std::string topology = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
    for (const char* file : {"core_cpus_list", "thread_siblings_list"}) {
        std::ifstream stream(topology + file);
        std::string siblings;
        if (stream && std::getline(stream, siblings) && !siblings.empty()) return siblings;
    }
    return "cpu" + std::to_string(cpu);
}

}  // namespace

int intra_op_threads_for(const std::vector<int>& allowed, long online, const std::function<std::string(int)>& core_of) {
    if (allowed.empty() || online <= 0 || static_cast<long>(allowed.size()) >= online) return 0;
    std::set<std::string> cores;
    for (const int cpu : allowed) cores.insert(core_of(cpu));
    return static_cast<int>(cores.size());
}

int intra_op_threads_for_process() noexcept {
    try {
        return intra_op_threads_for(allowed_cpus(), sysconf(_SC_NPROCESSORS_ONLN), core_of);
    } catch (...) {
        return 0;  // out of memory: ONNX Runtime's default is as good a choice
    }
}

}  // namespace runtime
