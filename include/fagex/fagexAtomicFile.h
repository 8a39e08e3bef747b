// Replacing a file so that a crash at any moment leaves either the old or the
// new content, never a truncated file.
#pragma once

#include <string>

namespace fagex {

// The rename step, replaceable by tests: returns 0 on success like rename(2).
using RenameFunction = int (*)(const char* from, const char* to);

// Writes data to a new temporary file in the folder of path, flushes it to the
// disk, then renames it over path. On any failure the temporary file is
// removed, path keeps its old content, false is returned and error (when
// given) says what failed.
bool writeFileAtomically(const std::string& path, const std::string& data, std::string* error = nullptr,
                         RenameFunction renameFn = nullptr);

}   // namespace fagex
