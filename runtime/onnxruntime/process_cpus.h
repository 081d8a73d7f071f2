// How many threads ONNX Runtime's shared intra-op pool should have for this
// process. ONNX Runtime sizes it by the machine's physical cores, whatever
// CPUs the process may run on: eight worker processes pinned to one core
// each on an eight-core machine would start eight threads apiece and
// oversubscribe every core eightfold. A process confined to some CPUs
// (taskset, numactl, a cgroup cpuset, a pinned Dask worker) gets one thread
// per physical core among them instead; an unconfined process keeps ONNX
// Runtime's default.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace runtime {

// 0 (ONNX Runtime's default) when the process may run on every online CPU,
// else the number of physical cores among the CPUs it may run on. Read from
// the calling thread's affinity, so call it before any thread narrows its own.
int intra_op_threads_for_process() noexcept;

// The rule itself: `allowed` CPUs out of `online` ones, `core_of` naming the
// physical core of a CPU (CPUs with the same name share a core).
int intra_op_threads_for(const std::vector<int>& allowed, long online, const std::function<std::string(int)>& core_of);

}  // namespace runtime
