// The few questions about files and folders that finding ONNX Runtime's
// libraries asks.
#pragma once

#include <string>
#include <vector>

namespace runtime {

// Whether `path` names a regular file (links followed).
bool is_regular_file(const std::string& path);

// The folder part of `path`: "." when it has none.
std::string folder_of(const std::string& path);

// The names in `folder`, "." and ".." left out, sorted; empty when it
// cannot be listed.
std::vector<std::string> folder_entries(const std::string& folder);

}  // namespace runtime
