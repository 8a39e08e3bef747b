// Which URL serves which file of a task: the URLs the task's sources named
// (the CDN answer, the HTTP peers of the index server), looked up by the
// server's host and the file's path inside the task. A CDN answer of a
// patch names one URL per file, often thousands, in folder trees; a file
// is fetched from the URL that names it, never from a namesake in another
// folder.
//
// Not thread-safe: its owner guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zeq {

class file_url_table {
public:
    // URLs kept per table: a task has no more files with data than pieces
    // (at most 131072), so a full answer always fits.
    static constexpr std::size_t kMaxUrls = std::size_t(1) << 17;

    enum class match : std::uint8_t {
        found,       // one URL names the file
        none,        // no URL of the host names it
        ambiguous,   // several do and none is nearer the task's folder
    };

    // Keeps `url_path` (as given: escapes and case stay) for `host`; a
    // repeat or one past kMaxUrls is dropped. False when dropped.
    bool add(const std::string& host, const std::string& url_path);

    // The URL path of `host` that names `file` (its path inside the task,
    // '/'-separated): the URL's unescaped path ends with the file's whole
    // path, compared without regard to case (the files come from Windows).
    // The shortest wins; of two as long, the one sharing more of
    // `source_directory` (the directory of the source's own URL), then the
    // one of exact case.
    match find(const std::string& host, const std::string& file, const std::string& source_directory,
               std::string& url_path) const;

    std::size_t size() const { return m_urls.size(); }

private:
    struct entry {
        std::string host;
        std::string path;      // as given
        std::string decoded;   // unescaped, lower case
    };
    std::vector<entry> m_urls;
    // Last path segment (unescaped, lower case) -> positions in m_urls.
    std::multimap<std::string, std::size_t> m_by_name;
};

}   // namespace zeq
