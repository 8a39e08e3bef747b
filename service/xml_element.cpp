#include "service/xml_element.h"

#include <tinyxml.h>

#include "fagex/fagexStringUtil.h"

namespace kx2dll {

TiXmlElement* find_xml_element(TiXmlDocument& document, const std::string& path)
{
    TiXmlElement* element = document.FirstChildElement();
    if (element == nullptr)
        return nullptr;
    const fagex::StringVector parts = fagex::StringUtil::split(path, "/");
    if (parts.empty())
        return nullptr;
    // The first component names the root; launchers have not always spelled
    // it the same, so only the path below it counts.
    for (std::size_t i = 1; i < parts.size() && element != nullptr; ++i)
        element = element->FirstChildElement(parts[i].c_str());
    return element;
}

namespace {

// The ">" that ends the tag starting before `from`, skipping quoted
// attribute values: a value may hold "/>" or ">" and must not end the tag
// for the count when the parser reads on.
std::size_t tag_end(const std::string& text, std::size_t from)
{
    char quote = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::string::npos;
}

}   // namespace

bool xml_nesting_within(const std::string& text, std::size_t max_depth)
{
    std::size_t depth = 0;
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        if (text[i] != '<') {
            ++i;
            continue;
        }
        if (i + 1 >= n)
            break;
        const char next = text[i + 1];
        if (next == '!' || next == '?') {
            // Comments, CDATA, declarations: skip to their end without
            // counting anything inside.
            const char* end = text.compare(i, 4, "<!--") == 0        ? "-->"
                              : text.compare(i, 9, "<![CDATA[") == 0 ? "]]>"
                                                                     : ">";
            const std::size_t stop = text.find(end, i + 2);
            if (stop == std::string::npos)
                break;
            i = stop + std::char_traits<char>::length(end);
            continue;
        }
        const std::size_t close = tag_end(text, i + 1);
        if (close == std::string::npos)
            break;
        if (next == '/') {
            if (depth > 0)
                --depth;
        } else if (text[close - 1] != '/') {
            if (++depth > max_depth)
                return false;
        }
        i = close + 1;
    }
    return true;
}

}   // namespace kx2dll
