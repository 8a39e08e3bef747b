#include "src/text_util.h"

#include "fagex/fagexStringUtil.h"

namespace kx2dll {

std::string lower_text(std::string text)
{
    fagex::StringUtil::toLowerCase(text);
    return text;
}

std::string trim_text(const std::string& text, const char* leading, const char* trailing)
{
    const std::size_t first = text.find_first_not_of(leading);
    if (first == std::string::npos)
        return std::string();
    std::string out = text.substr(first);
    const std::size_t last = out.find_last_not_of(trailing);
    out.resize(last == std::string::npos ? 0 : last + 1);
    return out;
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

} // namespace kx2dll
