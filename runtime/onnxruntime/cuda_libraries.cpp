#include "onnxruntime/cuda_libraries.h"

#include <dlfcn.h>

#include <set>
#include <string_view>

#include "onnxruntime/elf_dependencies.h"
#include "onnxruntime/folders.h"

namespace runtime {
namespace {

bool searches_own_folder(const std::string& search_path) {
    return search_path.find("$ORIGIN") != std::string::npos || search_path.find("${ORIGIN}") != std::string::npos;
}

class dependency_loader {
public:
    explicit dependency_loader(const std::vector<std::string>& site_packages) : site_packages_(site_packages) {}

    // "" when `name`, needed by a library in `requester_folder` that
    // searches its own folder when `requester_searches_own` says so, is
    // loadable; else what is missing.
    std::string resolve(const std::string& name, const std::string& requester_folder, bool requester_searches_own) {
        if (!settled_.insert(name).second) return {};
        if (requester_searches_own && is_regular_file(requester_folder + "/" + name)) return {};
        if (dlopen(name.c_str(), RTLD_NOW | RTLD_GLOBAL) != nullptr) return {};
        const std::vector<std::string> candidates = nvidia_library_candidates(site_packages_, name);
        return candidates.empty() ? name : load_by_path(candidates.front());
    }

private:
    std::string load_by_path(const std::string& path) {
        elf_dependencies needs;
        const std::string folder = folder_of(path);
        if (read_elf_dependencies(path, needs)) {
            const bool own = searches_own_folder(needs.search_path);
            for (const std::string& needed : needs.needed) {
                std::string missing = resolve(needed, folder, own);
                if (!missing.empty()) return missing;
            }
            // cuDNN loads its parts by name when it first needs them; without
            // a search of its own folder they must be loaded beforehand.
            if (!own) preload_parts(path, folder);
        }
        if (dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr) {
            const char* why = dlerror();
            return path + (why != nullptr ? std::string(": ") + why : std::string());
        }
        return {};
    }

    // Libraries beside `path` whose names extend its stem: libcudnn_graph.so.9
    // beside libcudnn.so.9.
    void preload_parts(const std::string& path, const std::string& folder) {
        const std::string name = path.substr(folder.size() + 1);
        const size_t so = name.find(".so");
        if (so == std::string::npos) return;
        const std::string stem = name.substr(0, so) + "_";
        const std::string suffix = name.substr(so);
        for (const std::string& entry : folder_entries(folder)) {
            if (entry.compare(0, stem.size(), stem) != 0) continue;
            if (entry.size() < suffix.size() || entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
            if (settled_.insert(entry).second) dlopen((folder + "/" + entry).c_str(), RTLD_LAZY | RTLD_GLOBAL);
        }
    }

    const std::vector<std::string>& site_packages_;
    std::set<std::string> settled_;
};

}  // namespace

std::vector<std::string> nvidia_library_candidates(const std::vector<std::string>& site_packages,
                                                   const std::string& file_name) {
    std::vector<std::string> found;
    for (const std::string& site : site_packages) {
        const std::string nvidia = site + "/nvidia";
        for (const std::string& package : folder_entries(nvidia)) {
            const std::string candidate = nvidia + "/" + package + "/lib/" + file_name;
            if (is_regular_file(candidate)) found.push_back(candidate);
        }
    }
    return found;
}

std::string load_provider_dependencies(const std::string& provider, const std::vector<std::string>& site_packages) {
    elf_dependencies needs;
    if (!read_elf_dependencies(provider, needs)) return {};  // loading the provider will say what is wrong
    dependency_loader loader(site_packages);
    const std::string folder = folder_of(provider);
    const bool own = searches_own_folder(needs.search_path);
    for (const std::string& needed : needs.needed) {
        std::string missing = loader.resolve(needed, folder, own);
        if (!missing.empty()) return missing;
    }
    return {};
}

}  // namespace runtime
