#include "service/xmlrpc_call_markup.h"

#include <cstdlib>
#include <string_view>
#include <vector>

namespace kx2dll {

namespace {

enum class kind { call, method_name, params, param, value, scalar, array, data, structure, member, name, nil, unknown };

kind kind_of(std::string_view tag)
{
    static constexpr struct {
        std::string_view name;
        kind k;
    } table[] = {
        {"methodCall", kind::call}, {"methodName", kind::method_name},
        {"params", kind::params},   {"param", kind::param},
        {"value", kind::value},     {"array", kind::array},
        {"data", kind::data},       {"struct", kind::structure},
        {"member", kind::member},   {"name", kind::name},
        {"string", kind::scalar},   {"i4", kind::scalar},
        {"int", kind::scalar},      {"boolean", kind::scalar},
        {"double", kind::scalar},   {"dateTime.iso8601", kind::scalar},
        {"base64", kind::scalar},
    };
    for (const auto& entry : table)
        if (entry.name == tag)
            return entry.k;
    return kind::unknown;
}

struct element {
    std::string_view name;
    kind k;
    std::size_t content_at;   // where the text inside the element begins
    std::size_t children = 0;
    bool text = false;
};

bool digits(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Whether the library reads the text of a scalar of that type; where it
// cannot, it drops the values around it without freeing them.
bool scalar_readable(std::string_view type, std::string_view text)
{
    if (type == "i4" || type == "int") {
        if (!text.empty() && (text[0] == '-' || text[0] == '+'))
            text.remove_prefix(1);
        return digits(text);
    }
    if (type == "boolean")
        return text == "0" || text == "1";
    if (type == "double") {
        const std::string copy(text);
        char* end = nullptr;
        std::strtod(copy.c_str(), &end);
        return !copy.empty() && end == copy.c_str() + copy.size();
    }
    if (type == "dateTime.iso8601")   // "yyyymmddThh:mm:ss"
        return text.size() == 17 && digits(text.substr(0, 8)) && text[8] == 'T' && digits(text.substr(9, 2)) &&
               text[11] == ':' && digits(text.substr(12, 2)) && text[14] == ':' && digits(text.substr(15, 2));
    if (type == "base64")
        return text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                      "0123456789+/= \t\r\n") == std::string_view::npos;
    return true;   // a string holds any text
}

// Whether `child` may come as the next child of `parent`.
bool may_hold(const element& parent, kind child)
{
    const std::size_t n = parent.children;
    switch (parent.k) {
    case kind::call:
        return (n == 0 && child == kind::method_name) || (n == 1 && child == kind::params);
    case kind::params:
        return child == kind::param;
    case kind::param:
        return n == 0 && child == kind::value;
    case kind::value:
        return n == 0 && !parent.text &&
               (child == kind::scalar || child == kind::array || child == kind::structure || child == kind::nil);
    case kind::array:
        return n == 0 && child == kind::data;
    case kind::data:
        return child == kind::value;
    case kind::structure:
        return child == kind::member;
    case kind::member:
        return (n == 0 && child == kind::name) || (n == 1 && child == kind::value);
    default:
        return false;
    }
}

bool may_hold_text(const element& e)
{
    return e.k == kind::method_name || e.k == kind::name || e.k == kind::scalar ||
           (e.k == kind::value && e.children == 0);
}

bool complete(const element& e)
{
    switch (e.k) {
    case kind::call:   // the method's name, then its parameters if any
        return e.children >= 1;
    case kind::param:
    case kind::array:
        return e.children == 1;
    case kind::member:
        return e.children == 2;
    default:
        return true;
    }
}

bool blank(std::string_view text)
{
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

}   // namespace

xmlrpc_call_markup check_xmlrpc_call(const std::string& text, std::size_t max_depth)
{
    // The library reads the text as a C string in places.
    if (text.find('\0') != std::string::npos)
        return xmlrpc_call_markup::malformed;
    std::vector<element> open;
    bool had_call = false;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t lt = text.find('<', at);
        const std::string_view between(text.data() + at, (lt == std::string::npos ? text.size() : lt) - at);
        if (!blank(between)) {
            if (open.empty() || !may_hold_text(open.back()))
                return xmlrpc_call_markup::malformed;
            open.back().text = true;
        }
        if (lt == std::string::npos)
            break;
        if (text.compare(lt, 2, "<?") == 0) {
            // The XML declaration, before the call only.
            const std::size_t end = text.find("?>", lt + 2);
            if (!open.empty() || had_call || end == std::string::npos || text.find('<', lt + 1) < end)
                return xmlrpc_call_markup::malformed;
            at = end + 2;
            continue;
        }
        const std::size_t gt = text.find('>', lt);
        if (gt == std::string::npos || text.find('<', lt + 1) < gt)
            return xmlrpc_call_markup::malformed;
        const std::string_view tag(text.data() + lt, gt + 1 - lt);
        at = gt + 1;
        if (tag.size() > 3 && tag[1] == '/') {
            if (open.empty() || open.back().name != tag.substr(2, tag.size() - 3) || !complete(open.back()))
                return xmlrpc_call_markup::malformed;
            const element& e = open.back();
            const std::string_view content(text.data() + e.content_at, lt - e.content_at);
            if (e.k == kind::scalar && !scalar_readable(e.name, content))
                return xmlrpc_call_markup::malformed;
            open.pop_back();
            continue;
        }
        const bool nil = tag == "<nil/>";
        const kind k = nil ? kind::nil : kind_of(tag.substr(1, tag.size() - 2));
        if (k == kind::unknown)
            return xmlrpc_call_markup::malformed;
        if (open.empty() ? (had_call || k != kind::call) : !may_hold(open.back(), k))
            return xmlrpc_call_markup::malformed;
        if (open.empty())
            had_call = true;
        else
            ++open.back().children;
        if (nil)
            continue;
        if (open.size() == max_depth)
            return xmlrpc_call_markup::too_deep;
        open.push_back({tag.substr(1, tag.size() - 2), k, at});
    }
    return had_call && open.empty() ? xmlrpc_call_markup::well_formed : xmlrpc_call_markup::malformed;
}

}   // namespace kx2dll
