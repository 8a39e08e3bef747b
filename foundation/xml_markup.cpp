#include "foundation/xml_markup.h"
#include "platform/invariant.h"

#include <cstring>
#include <utility>

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Name characters: ASCII letters, digits, '_', ':', '-', '.', and any byte of
// a multi-byte UTF-8 sequence (documents carry Chinese tag-free text, but
// names stay permissive rather than decode UTF-8 here).
bool is_name_start(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 0x80;
}
bool is_name_char(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return is_name_start(c) || (u >= '0' && u <= '9') || u == '-' || u == '.';
}

void append_utf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A reference starting at s[i] == '&' and ending before `end`: its length
// (through ';') and code point, or 0 when it is not a well-formed known one.
size_t read_reference(const std::string& s, size_t i, size_t end, uint32_t& cp)
{
    static const struct {
        const char* text;
        char ch;
    } kNamed[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};
    for (const auto& e : kNamed) {
        const size_t n = std::strlen(e.text);
        if (end - i >= n && s.compare(i, n, e.text) == 0) {
            cp = static_cast<unsigned char>(e.ch);
            return n;
        }
    }
    if (end - i < 4 || s[i + 1] != '#')
        return 0;
    size_t j = i + 2;
    const bool hex = s[j] == 'x';
    if (hex)
        ++j;
    uint32_t v = 0;
    size_t digits = 0;
    for (; j < end && s[j] != ';'; ++j, ++digits) {
        const char c = s[j];
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (hex && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (hex && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return 0;
        }
        v = v * (hex ? 16 : 10) + static_cast<uint32_t>(d);
        if (v > 0x10FFFF)
            return 0;
    }
    if (j >= end || digits == 0)
        return 0;
    // Code points XML does not allow: NUL and other controls, surrogates.
    if (v == 0 || (v < 0x20 && v != 0x9 && v != 0xA && v != 0xD) || (v >= 0xD800 && v <= 0xDFFF) || v == 0xFFFE ||
        v == 0xFFFF)
        return 0;
    cp = v;
    return j + 1 - i;
}

// Appends s[begin, end) with references decoded; a '&' that starts no
// well-formed reference stays literal.
void append_decoded(std::string& out, const std::string& s, size_t begin, size_t end)
{
    for (size_t i = begin; i < end;) {
        uint32_t cp = 0;
        const size_t n = s[i] == '&' ? read_reference(s, i, end, cp) : 0;
        if (n > 0) {
            append_utf8(out, cp);
            i += n;
        } else {
            out += s[i++];
        }
    }
}

// Offset of `token` at or after `from`, or npos; never past the end.
size_t find_token(const std::string& s, size_t from, const char* token)
{
    return from > s.size() ? std::string::npos : s.find(token, from);
}

bool starts_with(const std::string& s, size_t at, const char* token)
{
    const size_t n = std::strlen(token);
    return at <= s.size() && s.size() - at >= n && s.compare(at, n, token) == 0;
}

// Reads the attributes of a start tag from `j` (just after its name) up to
// its closing '>' or "/>", leaving `j` on that '>' or '/'. `names` is
// scratch space for the duplicate check.
bool scan_attributes(const std::string& s, size_t& j, bool& self_closing, std::vector<std::pair<size_t, size_t>>& names)
{
    const size_t n = s.size();
    names.clear();
    self_closing = false;
    // (space+ name space* = space* quoted-value)*
    for (;;) {
        const size_t before_space = j;
        while (j < n && is_space(s[j]))
            ++j;
        if (j >= n)
            return false;
        if (s[j] == '>')
            return true;
        if (s[j] == '/') {
            self_closing = true;
            return j + 1 < n && s[j + 1] == '>';
        }
        if (j == before_space || !is_name_start(s[j]))
            return false;
        const size_t an = j;
        while (j < n && is_name_char(s[j]))
            ++j;
        const size_t an_len = j - an;
        while (j < n && is_space(s[j]))
            ++j;
        if (j >= n || s[j] != '=')
            return false;
        ++j;
        while (j < n && is_space(s[j]))
            ++j;
        if (j >= n || (s[j] != '"' && s[j] != '\''))
            return false;
        const size_t vbegin = j + 1;
        const size_t vend = s.find(s[j], vbegin);
        if (vend == std::string::npos)
            return false;
        if (std::memchr(s.data() + vbegin, '<', vend - vbegin) != nullptr)
            return false;
        if (std::memchr(s.data() + vbegin, '\0', vend - vbegin) != nullptr)
            return false;
        // Duplicate names; the per-element cap keeps this scan cheap.
        if (names.size() >= CXmlMarkup::kMaxAttributes)
            return false;
        for (const auto& a : names) {
            if (a.second == an_len && s.compare(a.first, an_len, s, an, an_len) == 0)
                return false;
        }
        names.emplace_back(an, an_len);
        j = vend + 1;
    }
}

}   // namespace

void CXmlMarkup::Clear()
{
    doc_.clear();
    nodes_.clear();
    well_formed_ = false;
    root_ = parent_ = current_ = kNone;
}

bool CXmlMarkup::SetDoc(const char* text)
{
    if (text == nullptr) {
        Clear();
        return false;
    }
    return SetDoc(std::string(text));
}

bool CXmlMarkup::SetDoc(const std::string& text)
{
    Clear();
    if (text.size() > kMaxDocSize)
        return false;
    doc_ = text;
    well_formed_ = Parse();
    if (!well_formed_) {
        nodes_.clear();
        root_ = kNone;
    }
    check_invariant();
    return well_formed_;
}

// Single pass over the text; open elements are kept as a chain of parent
// indices, so nesting costs no stack.
bool CXmlMarkup::Parse()
{
    const std::string& s = doc_;
    const size_t n = s.size();
    size_t i = 0;
    if (starts_with(s, 0, "\xEF\xBB\xBF"))
        i = 3;                                           // UTF-8 byte-order mark
    int32_t open = kNone;                                // innermost open element
    std::vector<std::pair<size_t, size_t>> attr_names;   // of the start tag being read
    size_t depth = 0;
    while (i < n) {
        const char c = s[i];
        if (c == '\0')
            return false;
        if (c != '<') {
            // Text: only white space outside the root element.
            if (open == kNone && !is_space(c))
                return false;
            ++i;
            continue;
        }
        if (starts_with(s, i, "<!--")) {
            const size_t e = find_token(s, i + 4, "-->");
            if (e == std::string::npos)
                return false;
            i = e + 3;
            continue;
        }
        if (starts_with(s, i, "<![CDATA[")) {
            if (open == kNone)
                return false;
            const size_t e = find_token(s, i + 9, "]]>");
            if (e == std::string::npos)
                return false;
            i = e + 3;
            continue;
        }
        if (starts_with(s, i, "<?")) {
            const size_t e = find_token(s, i + 2, "?>");
            if (e == std::string::npos || i + 2 >= n || !is_name_start(s[i + 2]))
                return false;
            i = e + 2;
            continue;
        }
        if (starts_with(s, i, "<!"))
            return false;   // DOCTYPE and anything else
        if (starts_with(s, i, "</")) {
            if (open == kNone)
                return false;
            Node& node = nodes_[static_cast<size_t>(open)];
            size_t j = i + 2;
            if (n - j < node.name_len || s.compare(j, node.name_len, s, node.name_begin, node.name_len) != 0)
                return false;
            j += node.name_len;
            while (j < n && is_space(s[j]))
                ++j;
            if (j >= n || s[j] != '>')
                return false;   // also catches a longer name
            node.content_end = static_cast<uint32_t>(i);
            node.end = static_cast<uint32_t>(j + 1);
            open = node.parent;
            --depth;
            i = j + 1;
            continue;
        }
        // Start tag.
        if (open == kNone && root_ != kNone)
            return false;   // a second root
        if (depth >= kMaxDepth)
            return false;
        Node node;
        node.start = static_cast<uint32_t>(i);
        size_t j = i + 1;
        if (j >= n || !is_name_start(s[j]))
            return false;
        node.name_begin = static_cast<uint32_t>(j);
        while (j < n && is_name_char(s[j]))
            ++j;
        node.name_len = static_cast<uint32_t>(j - node.name_begin);
        node.attr_begin = static_cast<uint32_t>(j);
        bool self_closing = false;
        if (!scan_attributes(s, j, self_closing, attr_names))
            return false;
        node.attr_end = static_cast<uint32_t>(j);
        node.parent = open;
        const auto index = static_cast<int32_t>(nodes_.size());
        if (open == kNone) {
            root_ = index;
        } else {
            Node& p = nodes_[static_cast<size_t>(open)];
            if (p.last_child == kNone) {
                p.first_child = index;
            } else {
                nodes_[static_cast<size_t>(p.last_child)].next_sibling = index;
            }
            p.last_child = index;
        }
        if (self_closing) {
            node.end = static_cast<uint32_t>(j + 2);
            node.content_begin = node.content_end = static_cast<uint32_t>(j);
            nodes_.push_back(node);
            i = j + 2;
        } else {
            node.content_begin = static_cast<uint32_t>(j + 1);
            nodes_.push_back(node);
            open = index;
            ++depth;
            i = j + 1;
        }
    }
    return open == kNone && root_ != kNone;
}

bool CXmlMarkup::NameEquals(const Node& n, const char* name) const
{
    const size_t len = std::strlen(name);
    return len == n.name_len && doc_.compare(n.name_begin, len, name) == 0;
}

bool CXmlMarkup::FindElem(const char* name)
{
    if (!well_formed_)
        return false;
    int32_t cand;
    if (current_ != kNone) {
        cand = nodes_[static_cast<size_t>(current_)].next_sibling;
    } else {
        cand = parent_ == kNone ? root_ : nodes_[static_cast<size_t>(parent_)].first_child;
    }
    const bool any = name == nullptr || *name == '\0';
    for (; cand != kNone; cand = nodes_[static_cast<size_t>(cand)].next_sibling) {
        if (any || NameEquals(nodes_[static_cast<size_t>(cand)], name)) {
            current_ = cand;
            check_invariant();
            return true;
        }
    }
    return false;
}

bool CXmlMarkup::IntoElem()
{
    if (current_ == kNone)
        return false;
    parent_ = current_;
    current_ = kNone;
    check_invariant();
    return true;
}

bool CXmlMarkup::OutOfElem()
{
    if (parent_ == kNone)
        return false;
    current_ = parent_;
    parent_ = nodes_[static_cast<size_t>(parent_)].parent;
    check_invariant();
    return true;
}

void CXmlMarkup::ResetPos()
{
    parent_ = current_ = kNone;
}

std::string CXmlMarkup::GetTagName() const
{
    if (current_ == kNone)
        return std::string();
    const Node& n = nodes_[static_cast<size_t>(current_)];
    return doc_.substr(n.name_begin, n.name_len);
}

std::string CXmlMarkup::GetData() const
{
    std::string out;
    if (current_ == kNone)
        return out;
    const Node& n = nodes_[static_cast<size_t>(current_)];
    int32_t child = n.first_child;
    size_t i = n.content_begin;
    // Text runs lie between the child elements; inside a run, comments and
    // processing instructions are skipped and CDATA is taken as it stands.
    while (i < n.content_end) {
        const size_t run_end = child != kNone ? nodes_[static_cast<size_t>(child)].start : size_t{n.content_end};
        while (i < run_end) {
            // The parse proved each of these closes before run_end; the bound
            // only guards against that ever being wrong.
            size_t skip_to = std::string::npos;
            if (starts_with(doc_, i, "<!--")) {
                const size_t e = find_token(doc_, i + 4, "-->");
                skip_to = e == std::string::npos ? run_end : e + 3;
            } else if (starts_with(doc_, i, "<?")) {
                const size_t e = find_token(doc_, i + 2, "?>");
                skip_to = e == std::string::npos ? run_end : e + 2;
            } else if (starts_with(doc_, i, "<![CDATA[")) {
                const size_t e = find_token(doc_, i + 9, "]]>");
                const size_t stop = e == std::string::npos ? run_end : e;
                out.append(doc_, i + 9, stop > i + 9 ? stop - (i + 9) : 0);
                skip_to = e == std::string::npos ? run_end : e + 3;
            }
            if (skip_to != std::string::npos) {
                i = skip_to;
                continue;
            }
            const size_t next_markup = doc_.find('<', i);
            const size_t text_end = next_markup < run_end ? next_markup : run_end;
            append_decoded(out, doc_, i, text_end);
            i = text_end;
        }
        if (child != kNone) {
            i = nodes_[static_cast<size_t>(child)].end;
            child = nodes_[static_cast<size_t>(child)].next_sibling;
        }
    }
    return out;
}

std::string CXmlMarkup::GetAttrib(const char* name) const
{
    if (current_ == kNone || name == nullptr)
        return std::string();
    const Node& n = nodes_[static_cast<size_t>(current_)];
    const size_t name_len = std::strlen(name);
    size_t i = n.attr_begin;
    // The parse accepted this tag, so the attribute syntax is known good.
    while (i < n.attr_end) {
        while (i < n.attr_end && is_space(doc_[i]))
            ++i;
        if (i >= n.attr_end || doc_[i] == '/' || doc_[i] == '>')
            break;
        const size_t an = i;
        while (i < n.attr_end && is_name_char(doc_[i]))
            ++i;
        const size_t an_len = i - an;
        i = doc_.find_first_of("\"'", i);
        if (i == std::string::npos || i >= n.attr_end)
            break;
        const size_t vbegin = i + 1;
        const size_t vend = doc_.find(doc_[i], vbegin);
        if (vend == std::string::npos || vend > n.attr_end)
            break;
        if (an_len == name_len && doc_.compare(an, an_len, name) == 0) {
            // Literal tabs and line breaks in a value read as spaces.
            std::string raw = doc_.substr(vbegin, vend - vbegin);
            for (char& c : raw) {
                if (c == '\t' || c == '\r' || c == '\n')
                    c = ' ';
            }
            std::string out;
            append_decoded(out, raw, 0, raw.size());
            return out;
        }
        i = vend + 1;
    }
    return std::string();
}

std::string CXmlMarkup::GetSubDoc() const
{
    if (current_ == kNone)
        return std::string();
    const Node& n = nodes_[static_cast<size_t>(current_)];
    size_t end = n.end;
    while (end < doc_.size() && is_space(doc_[end]))
        ++end;
    return doc_.substr(n.start, end - n.start);
}

void CXmlMarkup::check_invariant() const
{
#if defined(VR_INVARIANTS)
    VR_INVARIANT(well_formed_ || nodes_.empty());
    VR_INVARIANT(parent_ == kNone || static_cast<size_t>(parent_) < nodes_.size());
    VR_INVARIANT(current_ == kNone || static_cast<size_t>(current_) < nodes_.size());
    VR_INVARIANT(current_ == kNone || nodes_[static_cast<size_t>(current_)].parent == parent_);
    VR_INVARIANT(!well_formed_ || root_ != kNone);
#endif
}
