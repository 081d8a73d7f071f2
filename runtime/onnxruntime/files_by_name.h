// ONNX Runtime looks for the files a model names in a folder: beside the
// model file for a model given by path, and, for one given as bytes, in the
// folder a session option names (from release 1.21, C API 21; earlier
// releases, and later ones without the option, look in the current folder,
// where the runtime's checks are all that stands). The runtime hands
// every such file over in memory, so for a model given as bytes it names a
// folder that cannot exist: a name that slipped past its checks finds
// nothing, rather than whatever lies in the current folder.
#pragma once

#include "onnxruntime/onnxruntime_api.h"

namespace runtime {

// A folder under /proc: nothing can be made there.
constexpr const char* no_files_folder = "/proc/self/qelmo-reads-no-files-named-by-a-model-given-as-bytes";

void read_no_files_by_name(Ort::SessionOptions& options);

}  // namespace runtime
