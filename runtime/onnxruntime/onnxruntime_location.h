// Where ONNX Runtime's library is found. The onnxruntime package and its CUDA
// build, onnxruntime-gpu, both install into <site-packages>/onnxruntime/, so
// with both installed capi/ holds two libraries (or one, overwritten by
// whichever package came last). The GPU build also runs CPU sessions, so its
// library comes first; the package's own record of its files tells which one
// it is.
#pragma once

#include <string>
#include <vector>

namespace runtime {

struct onnxruntime_candidates {
    std::vector<std::string> paths;  // in the order to try them
    // The onnxruntime-gpu package, when installed beside qelmo: its version
    // and the library file its record lists (which may since have been
    // overwritten by the CPU package's file of the same name).
    std::string gpu_package_version;
    std::string gpu_package_library;
};

// The libraries in `site_packages`/onnxruntime/capi, the GPU package's first,
// then the others by version, newest first.
onnxruntime_candidates onnxruntime_libraries_in(const std::string& site_packages);

// The folder this runtime library is installed in (<site-packages>/qelmo.libs
// for a wheel), or "" when unknown.
std::string runtime_library_folder();

// The version numbers after "libonnxruntime.so.", e.g. {1, 32, 0}; empty when
// the name has another form.
std::vector<unsigned long> onnxruntime_library_version(const std::string& file_name);

}  // namespace runtime
