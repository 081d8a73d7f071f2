"""Worker processes of a local Dask cluster placed on their own CPUs, or
their own GPU.

evaluate() holds the interpreter lock for its whole call, so a worker gets
one thread, and processes give the parallelism. Each worker is pinned to
its share of the CPUs this process may use: the runtime then sizes ONNX
Runtime's thread pool to that share, where unpinned workers would each
start a thread per core of the machine and oversubscribe it. With the GPU,
each worker sees one GPU through CUDA_VISIBLE_DEVICES, set before its first
session starts CUDA. A worker restarted after a crash is placed again: the
scheduler hands the plugin to every worker that joins."""

# mypy: disable-error-code="no-untyped-call"
# (distributed's API carries no annotations.)
import os
from typing import Any, List, Optional, Sequence

from distributed import Client, WorkerPlugin


def cpu_groups(cpus: Sequence[int], workers: int) -> List[List[int]]:
    """`cpus` cut into `workers` runs as even as can be; with more workers
    than CPUs, each gets one CPU, shared in turn."""
    cpus = sorted(cpus)
    if workers >= len(cpus):
        return [[cpus[index % len(cpus)]] for index in range(workers)]
    base, extra = divmod(len(cpus), workers)
    groups, start = [], 0
    for index in range(workers):
        size = base + (1 if index < extra else 0)
        groups.append(cpus[start : start + size])
        start += size
    return groups


def visible_gpus() -> List[str]:
    """This machine's GPUs as CUDA_VISIBLE_DEVICES names them: its own list
    where set, else one per GPU the NVIDIA driver lists; [] when none is seen."""
    listed = os.environ.get("CUDA_VISIBLE_DEVICES")
    if listed is not None:
        return [gpu.strip() for gpu in listed.split(",") if gpu.strip()]
    try:
        return [str(index) for index in range(len(os.listdir("/proc/driver/nvidia/gpus")))]
    except OSError:
        return []


class WorkerPlacement(WorkerPlugin):
    """Pins worker N (by its name in a LocalCluster: 0, 1, ...) to
    cpu_groups[N] and, with gpus, shows it gpus[N] alone."""

    name = "qelmo-worker-placement"

    def __init__(self, cpu_groups: List[List[int]], gpus: Optional[List[str]] = None) -> None:
        self.cpu_groups = cpu_groups
        self.gpus = gpus or []

    def setup(self, worker: Any) -> None:
        try:
            index = int(worker.name)
        except (TypeError, ValueError):
            index = sum(map(ord, str(worker.name)))
        if self.gpus:
            os.environ["CUDA_VISIBLE_DEVICES"] = self.gpus[index % len(self.gpus)]
        cpus = self.cpu_groups[index % len(self.cpu_groups)]
        # Every thread the worker has started so far; later ones inherit
        # the mask of the thread that starts them.
        for thread in os.listdir("/proc/self/task"):
            try:
                os.sched_setaffinity(int(thread), cpus)
            except OSError:
                pass  # the thread has ended since


def local_client(workers: Optional[int] = None, device: str = "cpu", **cluster_options: Any) -> Client:
    """A client of a new LocalCluster of worker processes with one thread
    each, placed as above; closing the client stops the cluster. Workers
    default to one per CPU this process may use (cpu), or one per GPU (gpu)."""
    cpus = sorted(os.sched_getaffinity(0))
    gpus = visible_gpus() if device == "gpu" else []
    if workers is None:
        workers = max(1, len(gpus)) if device == "gpu" else len(cpus)
    # A dashboard on a free port: two clusters on one machine do not collide.
    options = {"n_workers": workers, "threads_per_worker": 1, "processes": True, "dashboard_address": ":0"}
    options.update(cluster_options)
    client = Client(**options)
    try:
        # register_plugin since distributed 2023.9; register_worker_plugin before.
        register = getattr(client, "register_plugin", None) or getattr(client, "register_worker_plugin")
        register(WorkerPlacement(cpu_groups(cpus, workers), gpus))
    except BaseException:
        client.close()
        raise
    return client
