// A generated download task on disk: files of given sizes with
// deterministic contents under <folder>/<srcdir>/data/, and the seed
// document that names them with every piece's MD5 digest. Files of any
// size (0 included, 1 GiB for the benchmark) are written in chunks and
// digested as they are written.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

struct TaskFixtureFile {
    std::string seed_name;   // as the seed names it: "data\\fileN.bin"
    std::string file_name;   // below "data/": "fileN.bin", or as named ("maps/0/a.res")
    std::string path;        // where it was written
    std::string url_path;    // "/<srcdir>/data/fileN.bin" below the served folder
    std::uint64_t size = 0;
    std::string md5;         // upper case
    std::string block_md5;   // one upper-case digest per piece
};

class TaskFixture {
public:
    // Writes the files below `folder` (which a server may serve). `seed`
    // varies the contents.
    TaskFixture(const std::string& folder, std::uint64_t task_id, std::uint32_t piece_size,
                const std::vector<std::uint64_t>& sizes, const std::string& srcdir = "game", std::uint32_t seed = 1);

    // Files named by their paths below "data/" ('/'-separated, folders
    // made as needed) with their sizes, a folder tree as patches have.
    struct Tree {
        std::vector<std::pair<std::string, std::uint64_t>> files;
    };
    TaskFixture(const std::string& folder, std::uint64_t task_id, std::uint32_t piece_size, const Tree& tree,
                const std::string& srcdir = "game", std::uint32_t seed = 1);

    // True when every file was written.
    bool ok() const { return m_ok; }
    std::uint64_t task_id() const { return m_task_id; }
    std::uint32_t piece_size() const { return m_piece_size; }
    const std::string& srcdir() const { return m_srcdir; }
    const std::vector<TaskFixtureFile>& files() const { return m_files; }
    std::uint64_t total_size() const;
    std::uint32_t piece_count() const;

    // The seed document.
    std::string SeedXml() const;
    // One URL per file ("<base>/<srcdir>/data/fileN.bin"), "\r\n" separated.
    std::string CdnAnswer(const std::string& base_url) const;

    // Bytes [offset, offset + length) of file i, generated again.
    std::string Bytes(std::size_t i, std::uint64_t offset, std::uint64_t length) const;

    // Upper-case MD5 of a file on disk ("" when it cannot be read).
    static std::string FileMd5(const std::string& path);

private:
    std::uint64_t m_task_id;
    std::uint32_t m_piece_size;
    std::string m_srcdir;
    std::uint32_t m_seed;
    std::vector<TaskFixtureFile> m_files;
    bool m_ok = true;
};

}   // namespace test_support
