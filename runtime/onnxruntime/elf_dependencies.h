// What a shared library asks of the dynamic loader, read from its file
// without loading it: the libraries it needs (DT_NEEDED) and where it asks
// the loader to look (DT_RUNPATH, or DT_RPATH). 64-bit little-endian ELF only.
#pragma once

#include <string>
#include <vector>

namespace runtime {

struct elf_dependencies {
    std::vector<std::string> needed;
    std::string search_path;  // RUNPATH or RPATH, as written ("$ORIGIN" unexpanded)
};

// False when the file cannot be read or is not such a library.
bool read_elf_dependencies(const std::string& path, elf_dependencies& result);

}  // namespace runtime
