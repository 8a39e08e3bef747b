#include "net/conn/file_url_table.h"

#include <algorithm>
#include <cctype>

namespace zeq {

namespace {

// The path as the server maps it to a file: without query or fragment,
// escapes undone.
std::string unescaped_path(const std::string& url_path)
{
    const std::size_t end = std::min(url_path.find('?'), url_path.find('#'));
    std::string out;
    out.reserve(std::min(end, url_path.size()));
    for (std::size_t i = 0; i < url_path.size() && i < end; ++i) {
        const char c = url_path[i];
        if (c == '%' && i + 2 < url_path.size() && i + 2 < end &&
            std::isxdigit(static_cast<unsigned char>(url_path[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(url_path[i + 2]))) {
            out += char(std::stoi(url_path.substr(i + 1, 2), nullptr, 16));
            i += 2;
            continue;
        }
        out += c;
    }
    return out;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string last_segment(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool same_ignoring_case(const char* a, const char* b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// 0: `path` does not end with the whole of `file`; 1: it does, ignoring
// case; 2: it does exactly.
int names_file(const std::string& path, const std::string& file)
{
    if (file.empty() || path.size() < file.size())
        return 0;
    const std::size_t at = path.size() - file.size();
    if (at > 0 && path[at - 1] != '/')
        return 0;   // "/xdata/a.bin" does not name "data/a.bin"
    if (path.compare(at, file.size(), file) == 0)
        return 2;
    return same_ignoring_case(path.data() + at, file.data(), file.size()) ? 1 : 0;
}

// Bytes the two paths share from their start.
std::size_t shared_prefix(const std::string& a, const std::string& b)
{
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

}   // namespace

bool file_url_table::add(const std::string& host, const std::string& url_path)
{
    if (m_urls.size() >= kMaxUrls)
        return false;
    std::string decoded = unescaped_path(url_path);
    std::string name = lower(last_segment(decoded));
    if (name.empty())
        return false;   // a folder names no file
    const std::string host_key = lower(host);
    const auto range = m_by_name.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) {
        const entry& e = m_urls[it->second];
        if (e.host == host_key && e.path == url_path)
            return false;
    }
    m_by_name.emplace(std::move(name), m_urls.size());
    m_urls.push_back(entry{host_key, url_path, std::move(decoded)});
    return true;
}

file_url_table::match file_url_table::find(const std::string& host, const std::string& file,
                                           const std::string& source_directory, std::string& url_path) const
{
    const std::string host_key = lower(host);
    const auto range = m_by_name.equal_range(lower(last_segment(file)));
    // The shortest path that names the file is the one below the task's
    // folder: a longer one names a namesake deeper down ("/p/data/a.bin"
    // for "a.bin" beside "/p/a.bin"). Of two as long, the one sharing more
    // of the source's directory wins (another patch's namesake shares
    // less), then the one of exact case.
    const std::string source = unescaped_path(source_directory);
    const entry* best = nullptr;
    std::size_t best_shared = 0;
    int best_how = 0;
    bool tie = false;
    for (auto it = range.first; it != range.second; ++it) {
        const entry& e = m_urls[it->second];
        if (e.host != host_key)
            continue;
        const int how = names_file(e.decoded, file);
        if (how == 0)
            continue;
        const std::size_t shared = shared_prefix(e.decoded, source);
        const bool better = !best || e.decoded.size() < best->decoded.size() ||
                            (e.decoded.size() == best->decoded.size() &&
                             (shared > best_shared || (shared == best_shared && how > best_how)));
        if (better) {
            best = &e;
            best_shared = shared;
            best_how = how;
            tie = false;
        } else if (e.decoded.size() == best->decoded.size() && shared == best_shared && how == best_how) {
            tie = true;
        }
    }
    if (!best)
        return match::none;
    if (tie)
        return match::ambiguous;
    url_path = best->path;
    return match::found;
}

}   // namespace zeq
