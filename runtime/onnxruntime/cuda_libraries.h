// Makes the libraries that ONNX Runtime's CUDA provider needs loadable before
// the provider is loaded. Many GPU users have no CUDA toolkit on the loader's
// path: they have NVIDIA's pip packages, which keep each library in
// <site-packages>/nvidia/<package>/lib (nvidia/cu13/lib, nvidia/cudnn/lib,
// nvidia/cublas/lib, ...), where the loader never looks. A library the
// loader finds by name (a system CUDA) is used as it is; one it cannot find
// is looked for in those folders and loaded by its path, its own needs
// first, so that the provider's request by name finds it already loaded.
#pragma once

#include <string>
#include <vector>

namespace runtime {

// Loads what the library at `provider` needs and the loader cannot find,
// from `site_packages`' nvidia folders. Returns the name of the first
// library found nowhere (with the loader's reason when it exists but does
// not load), or "" when everything is loadable. Loaded libraries stay
// loaded for the life of the process.
std::string load_provider_dependencies(const std::string& provider, const std::vector<std::string>& site_packages);

// The folders <site>/nvidia/*/lib that hold `file_name`, in the order of
// `site_packages` and then by package name.
std::vector<std::string> nvidia_library_candidates(const std::vector<std::string>& site_packages,
                                                   const std::string& file_name);

}  // namespace runtime
