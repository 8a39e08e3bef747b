#include "support/temp_dir.h"

#include <cstdlib>
#include <stdexcept>
#include <string.h>
#include <vector>
#include <ftw.h>
#include <unistd.h>

namespace test_support {

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    ::remove(path);
    return 0;
}

}   // namespace

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vr_test_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
}

TempDir::~TempDir()
{
    ::nftw(m_path.c_str(), &remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::file(const std::string& name) const
{
    return m_path + "/" + name;
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name)
{
    if (const char* old = std::getenv(name)) {
        m_had = true;
        m_old = old;
    }
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv()
{
    if (m_had)
        ::setenv(m_name.c_str(), m_old.c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

}   // namespace test_support
