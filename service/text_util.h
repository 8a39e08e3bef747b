// Small text helpers the download manager's parts share.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "service/task_records.h"

namespace kx2dll {

// The text in lower case (ASCII).
std::string lower_text(std::string text);

// The text without leading characters of `leading` and trailing ones of
// `trailing`.
std::string trim_text(const std::string& text, const char* leading, const char* trailing);
// The same as a view into `text`, without a copy.
std::string_view trim_view(std::string_view text, const char* leading, const char* trailing);

// True when the text is an MD5 digest: 32 hexadecimal digits, either case.
bool is_md5_text(std::string_view text);

// True when one of the files has that MD5 (compared case-blind).
bool lists_file_md5(const std::vector<FileListEntry>& files, const std::string& md5);

}   // namespace kx2dll
