#include "service/text_util.h"

#include "fagex/fagexStringUtil.h"

namespace kx2dll {

std::string lower_text(std::string text)
{
    fagex::StringUtil::toLowerCase(text);
    return text;
}

std::string trim_text(const std::string& text, const char* leading, const char* trailing)
{
    return std::string(trim_view(text, leading, trailing));
}

std::string_view trim_view(std::string_view text, const char* leading, const char* trailing)
{
    const std::size_t first = text.find_first_not_of(leading);
    if (first == std::string_view::npos)
        return std::string_view();
    text.remove_prefix(first);
    const std::size_t last = text.find_last_not_of(trailing);
    return text.substr(0, last == std::string_view::npos ? 0 : last + 1);
}

bool is_md5_text(std::string_view text)
{
    return text.size() == 32 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

bool lists_file_md5(const std::vector<FileListEntry>& files, const std::string& md5)
{
    const std::string wanted = lower_text(md5);
    for (const FileListEntry& f : files) {
        if (lower_text(f.md5) == wanted)
            return true;
    }
    return false;
}

}   // namespace kx2dll
