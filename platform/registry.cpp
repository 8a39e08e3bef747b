#include "platform/registry.h"

#include "platform/paths.h"

#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cstdlib>
#include <map>
#include <mutex>

namespace platform {

namespace {

// One line per value: "<name>\t<s|d>\t<escaped value>". Backslash, tab and
// line ends in names and values are escaped so any text round-trips.
struct Value {
    bool is_dword = false;
    std::string text;
    std::uint32_t dword = 0;
};

// Registry value names are case-blind.
struct CaseBlindLess {
    bool operator()(const std::string& a, const std::string& b) const
    {
        const std::size_t n = a.size() < b.size() ? a.size() : b.size();
        for (std::size_t i = 0; i < n; ++i) {
            const int ca = std::tolower(static_cast<unsigned char>(a[i]));
            const int cb = std::tolower(static_cast<unsigned char>(b[i]));
            if (ca != cb)
                return ca < cb;
        }
        return a.size() < b.size();
    }
};

using Values = std::map<std::string, Value, CaseBlindLess>;

// Serialises every load-modify-save of the key files in this process.
std::mutex g_mutex;

// Holds an flock beside a key file so that processes sharing the key do not
// lose each other's writes; without the lock file the operation goes on
// under the process lock alone.
class FileLock {
public:
    explicit FileLock(const std::string& path)
    {
        const std::string folder = parent_folder(path);
        if (!folder.empty())
            create_folder(folder);
        m_fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd >= 0)
            while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int m_fd = -1;
};

std::string escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string unescape(const std::string& s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        switch (s[++i]) {
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            out += s[i];
        }
    }
    return out;
}

Values load(const std::string& path)
{
    Values values;
    std::string text;
    if (!read_file(path, text, 1u << 20))
        return values;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t t1 = line.find('\t');
        const std::size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
        if (t2 == std::string::npos || t2 != t1 + 2)
            continue;   // not a value line: skipped, never fatal
        Value v;
        const char type = line[t1 + 1];
        const std::string raw = unescape(line.substr(t2 + 1));
        if (type == 'd') {
            v.is_dword = true;
            v.dword = static_cast<std::uint32_t>(std::strtoul(raw.c_str(), nullptr, 10));
        } else if (type == 's') {
            v.text = raw;
        } else {
            continue;
        }
        values[unescape(line.substr(0, t1))] = v;
    }
    return values;
}

bool save(const std::string& path, const Values& values)
{
    std::string text;
    for (const auto& [name, v] : values) {
        text += escape(name);
        text += v.is_dword ? "\td\t" : "\ts\t";
        text += v.is_dword ? std::to_string(v.dword) : escape(v.text);
        text += '\n';
    }
    return write_file_atomically(path, text);
}

bool store(const std::string& path, const std::string& name, const Value& value)
{
    if (name.empty())
        return false;
    std::lock_guard<std::mutex> g(g_mutex);
    FileLock file_lock(path);
    Values values = load(path);
    values.erase(name);   // the caller's spelling of the name wins
    values[name] = value;
    return save(path, values);
}

}   // namespace

std::string registry_dir()
{
    if (const char* v = std::getenv("VR_REGISTRY_DIR"); v && *v)
        return v;
    return join_path(common_appdata_dir(), "registry");
}

RegistryKey::RegistryKey(std::string key_path) : m_key(std::move(key_path)) {}

std::string RegistryKey::file_path() const
{
    std::string name;
    for (char c : m_key) {
        if (c == '\\' || c == '/')
            name += '_';
        else
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return join_path(registry_dir(), name + ".reg");
}

bool RegistryKey::get_string(const std::string& name, std::string& out) const
{
    std::lock_guard<std::mutex> g(g_mutex);
    const Values values = load(file_path());
    const auto it = values.find(name);
    if (it == values.end() || it->second.is_dword)
        return false;
    out = it->second.text;
    return true;
}

bool RegistryKey::get_dword(const std::string& name, std::uint32_t& out) const
{
    std::lock_guard<std::mutex> g(g_mutex);
    const Values values = load(file_path());
    const auto it = values.find(name);
    if (it == values.end() || !it->second.is_dword)
        return false;
    out = it->second.dword;
    return true;
}

bool RegistryKey::set_string(const std::string& name, const std::string& value)
{
    Value v;
    v.text = value;
    return store(file_path(), name, v);
}

bool RegistryKey::set_dword(const std::string& name, std::uint32_t value)
{
    Value v;
    v.is_dword = true;
    v.dword = value;
    return store(file_path(), name, v);
}

bool RegistryKey::remove(const std::string& name)
{
    std::lock_guard<std::mutex> g(g_mutex);
    const std::string path = file_path();
    FileLock file_lock(path);
    Values values = load(path);
    if (values.erase(name) == 0)
        return true;
    return save(path, values);
}

}   // namespace platform
