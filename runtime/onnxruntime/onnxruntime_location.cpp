#include "onnxruntime/onnxruntime_location.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <utility>

#include "onnxruntime/folders.h"

namespace runtime {
namespace {

constexpr std::string_view library_prefix = "libonnxruntime.so.";
constexpr std::string_view gpu_dist_info_prefix = "onnxruntime_gpu-";
constexpr std::string_view dist_info_suffix = ".dist-info";

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The ONNX Runtime library a wheel's RECORD lists (its first column is the
// path inside site-packages, e.g. "onnxruntime/capi/libonnxruntime.so.1.31.1").
std::string library_in_record(const std::string& record_path) {
    std::ifstream record(record_path);
    std::string line;
    constexpr std::string_view capi = "onnxruntime/capi/";
    while (std::getline(record, line)) {
        const std::string_view path = std::string_view(line).substr(0, line.find(','));
        if (!starts_with(path, capi)) continue;
        const std::string_view name = path.substr(capi.size());
        if (!onnxruntime_library_version(std::string(name)).empty()) return std::string(path);
    }
    return {};
}

}  // namespace

std::vector<unsigned long> onnxruntime_library_version(const std::string& name) {
    std::vector<unsigned long> version;
    if (!starts_with(name, library_prefix)) return version;
    const char* p = name.c_str() + library_prefix.size();
    while (*p != '\0') {
        if (*p < '0' || *p > '9') return {};
        char* end = nullptr;
        version.push_back(std::strtoul(p, &end, 10));
        p = end;
        if (*p == '.') ++p;
        else if (*p != '\0') return {};
    }
    return version;
}

onnxruntime_candidates onnxruntime_libraries_in(const std::string& site_packages) {
    onnxruntime_candidates found;
    for (const std::string& entry : folder_entries(site_packages)) {
        if (!starts_with(entry, gpu_dist_info_prefix) || !ends_with(entry, dist_info_suffix)) continue;
        const std::string library = library_in_record(site_packages + "/" + entry + "/RECORD");
        if (library.empty()) continue;
        found.gpu_package_version =
            entry.substr(gpu_dist_info_prefix.size(), entry.size() - gpu_dist_info_prefix.size() - dist_info_suffix.size());
        found.gpu_package_library = site_packages + "/" + library;
        break;
    }

    const std::string capi = site_packages + "/onnxruntime/capi/";
    std::vector<std::pair<std::vector<unsigned long>, std::string>> libraries;
    for (std::string& name : folder_entries(capi)) {
        std::vector<unsigned long> version = onnxruntime_library_version(name);
        if (!version.empty()) libraries.emplace_back(std::move(version), capi + name);
    }
    std::sort(libraries.begin(), libraries.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    if (is_regular_file(found.gpu_package_library)) found.paths.push_back(found.gpu_package_library);
    for (auto& [version, path] : libraries) {
        if (path != found.gpu_package_library) found.paths.push_back(std::move(path));
    }
    return found;
}

std::string runtime_library_folder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&runtime_library_folder), &info) == 0 || info.dli_fname == nullptr) return {};
    return folder_of(info.dli_fname);
}

}  // namespace runtime
