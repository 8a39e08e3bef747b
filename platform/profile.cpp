#include "platform/profile.h"

#include "platform/paths.h"

#include <cctype>
#include <mutex>

namespace platform {

namespace {

// Serialises every read-modify-write of profile files in this process.
std::mutex g_mutex;

struct Section {
    std::string name;                 // as written in its header
    std::vector<std::string> lines;   // body lines, comments included
};

// Lines before the first header live in a section without a header.
struct Profile {
    std::vector<Section> sections;   // sections[0] is the headerless preamble
};

std::string trim(const std::string& s)
{
    const char* blanks = " \t\r\n";
    const std::size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos)
        return std::string();
    const std::size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

bool same(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool header_name(const std::string& line, std::string& name)
{
    const std::string t = trim(line);
    if (t.size() < 2 || t.front() != '[')
        return false;
    const std::size_t close = t.find(']');
    if (close == std::string::npos)
        return false;
    name = trim(t.substr(1, close - 1));
    return true;
}

// "key=value" -> key and value (trimmed); false for comments and lines
// without '='.
bool split_entry(const std::string& line, std::string& key, std::string& value)
{
    const std::string t = trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#')
        return false;
    const std::size_t eq = t.find('=');
    if (eq == std::string::npos)
        return false;
    key = trim(t.substr(0, eq));
    value = trim(t.substr(eq + 1));
    return !key.empty();
}

Profile load(const std::string& file)
{
    Profile p;
    p.sections.emplace_back();
    std::string text;
    if (!read_file(file, text, 16u << 20))
        return p;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string name;
        if (header_name(line, name)) {
            p.sections.push_back(Section{name, {}});
            continue;
        }
        p.sections.back().lines.push_back(line);
    }
    return p;
}

bool save(const std::string& file, const Profile& p)
{
    std::string text;
    for (std::size_t i = 0; i < p.sections.size(); ++i) {
        const Section& s = p.sections[i];
        if (i > 0)
            text += "[" + s.name + "]\n";
        for (const std::string& line : s.lines)
            text += line + "\n";
    }
    return write_file_atomically(file, text);
}

Section* find_section(Profile& p, const std::string& name)
{
    for (std::size_t i = 1; i < p.sections.size(); ++i)
        if (same(p.sections[i].name, name))
            return &p.sections[i];
    return nullptr;
}

Section& find_or_add_section(Profile& p, const std::string& name)
{
    if (Section* s = find_section(p, name))
        return *s;
    p.sections.push_back(Section{name, {}});
    return p.sections.back();
}

}   // namespace

std::string get_profile_string(const std::string& section, const std::string& key, const std::string& fallback,
                               const std::string& file)
{
    std::lock_guard<std::mutex> g(g_mutex);
    Profile p = load(file);
    const Section* s = find_section(p, section);
    if (!s)
        return fallback;
    for (const std::string& line : s->lines) {
        std::string k, v;
        if (split_entry(line, k, v) && same(k, key)) {
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
                v = v.substr(1, v.size() - 2);
            return v;
        }
    }
    return fallback;
}

bool write_profile_string(const std::string& section, const std::string& key, const std::string& value,
                          const std::string& file)
{
    if (section.empty() || key.empty() || key.find('=') != std::string::npos)
        return false;
    std::lock_guard<std::mutex> g(g_mutex);
    Profile p = load(file);
    Section& s = find_or_add_section(p, section);
    const std::string entry = key + "=" + value;
    for (std::string& line : s.lines) {
        std::string k, v;
        if (split_entry(line, k, v) && same(k, key)) {
            line = entry;
            return save(file, p);
        }
    }
    // After the last entry, before trailing blank lines.
    std::size_t at = s.lines.size();
    while (at > 0 && trim(s.lines[at - 1]).empty())
        --at;
    s.lines.insert(s.lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
    return save(file, p);
}

bool delete_profile_key(const std::string& section, const std::string& key, const std::string& file)
{
    std::lock_guard<std::mutex> g(g_mutex);
    Profile p = load(file);
    for (std::size_t i = 1; i < p.sections.size(); ++i) {
        Section& s = p.sections[i];
        if (!same(s.name, section))
            continue;
        if (key.empty()) {
            p.sections.erase(p.sections.begin() + static_cast<std::ptrdiff_t>(i));
            return save(file, p);
        }
        for (std::size_t j = 0; j < s.lines.size(); ++j) {
            std::string k, v;
            if (split_entry(s.lines[j], k, v) && same(k, key)) {
                s.lines.erase(s.lines.begin() + static_cast<std::ptrdiff_t>(j));
                return save(file, p);
            }
        }
        return true;
    }
    return true;
}

bool write_profile_section(const std::string& section, const ProfileEntries& entries, const std::string& file)
{
    if (section.empty())
        return false;
    for (const auto& e : entries)
        if (trim(e.first).empty() || e.first.find('=') != std::string::npos)
            return false;
    std::lock_guard<std::mutex> g(g_mutex);
    Profile p = load(file);
    Section& s = find_or_add_section(p, section);
    s.lines.clear();
    for (const auto& e : entries)
        s.lines.push_back(e.first + "=" + e.second);
    return save(file, p);
}

ProfileEntries read_profile_section(const std::string& section, const std::string& file)
{
    std::lock_guard<std::mutex> g(g_mutex);
    Profile p = load(file);
    ProfileEntries out;
    if (const Section* s = find_section(p, section)) {
        for (const std::string& line : s->lines) {
            std::string k, v;
            if (split_entry(line, k, v))
                out.emplace_back(k, v);
        }
    }
    return out;
}

std::vector<std::string> profile_section_names(const std::string& file)
{
    std::lock_guard<std::mutex> g(g_mutex);
    Profile p = load(file);
    std::vector<std::string> names;
    for (std::size_t i = 1; i < p.sections.size(); ++i)
        names.push_back(p.sections[i].name);
    return names;
}

}   // namespace platform
