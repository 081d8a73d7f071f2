#include "onnxruntime/elf_dependencies.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "memory/file_reader.h"

namespace runtime {
namespace {

// Reads exactly `size` bytes at `offset`.
bool read_exactly(int fd, void* into, size_t size, uint64_t offset) {
    return read_at(fd, into, size, offset) == static_cast<ssize_t>(size);
}

// Maps a virtual address to its offset in the file through the loadable
// segments; false when no segment holds it.
bool file_offset(const std::vector<Elf64_Phdr>& segments, uint64_t address, uint64_t& offset) {
    for (const Elf64_Phdr& segment : segments) {
        if (segment.p_type != PT_LOAD) continue;
        if (address >= segment.p_vaddr && address - segment.p_vaddr < segment.p_filesz) {
            offset = segment.p_offset + (address - segment.p_vaddr);
            return true;
        }
    }
    return false;
}

}  // namespace

bool read_elf_dependencies(const std::string& path, elf_dependencies& result) {
    result = {};
    file_descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return false;
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    const auto file_size = static_cast<uint64_t>(status.st_size);

    Elf64_Ehdr header{};
    if (!read_exactly(file.get(), &header, sizeof header, 0)) return false;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > 256) {
        return false;
    }
    std::vector<Elf64_Phdr> segments(header.e_phnum);
    if (!read_exactly(file.get(), segments.data(), segments.size() * sizeof(Elf64_Phdr), header.e_phoff)) return false;

    const Elf64_Phdr* dynamic_segment = nullptr;
    for (const Elf64_Phdr& segment : segments) {
        if (segment.p_type == PT_DYNAMIC) dynamic_segment = &segment;
    }
    if (dynamic_segment == nullptr || dynamic_segment->p_filesz > (uint64_t{1} << 20)) return false;
    std::vector<Elf64_Dyn> entries(dynamic_segment->p_filesz / sizeof(Elf64_Dyn));
    if (!read_exactly(file.get(), entries.data(), entries.size() * sizeof(Elf64_Dyn), dynamic_segment->p_offset)) {
        return false;
    }

    uint64_t strings_address = 0;
    uint64_t strings_size = 0;
    for (const Elf64_Dyn& entry : entries) {
        if (entry.d_tag == DT_STRTAB) strings_address = entry.d_un.d_ptr;
        if (entry.d_tag == DT_STRSZ) strings_size = entry.d_un.d_val;
    }
    uint64_t strings_offset = 0;
    if (strings_size == 0 || strings_size > (uint64_t{16} << 20) ||
        !file_offset(segments, strings_address, strings_offset) || strings_offset > file_size ||
        strings_size > file_size - strings_offset) {
        return false;
    }
    std::string strings(strings_size, '\0');
    if (!read_exactly(file.get(), &strings[0], strings.size(), strings_offset)) return false;

    auto string_at = [&](uint64_t index) {
        return index < strings.size() ? std::string(strings.c_str() + index) : std::string();
    };
    std::string rpath;
    for (const Elf64_Dyn& entry : entries) {
        if (entry.d_tag == DT_NULL) break;
        if (entry.d_tag == DT_NEEDED) result.needed.push_back(string_at(entry.d_un.d_val));
        if (entry.d_tag == DT_RUNPATH) result.search_path = string_at(entry.d_un.d_val);
        if (entry.d_tag == DT_RPATH) rpath = string_at(entry.d_un.d_val);
    }
    if (result.search_path.empty()) result.search_path = std::move(rpath);
    return true;
}

}  // namespace runtime
