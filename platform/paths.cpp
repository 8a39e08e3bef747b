#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string env_or(const char* name, const std::string& fallback)
{
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : fallback;
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string slashes(std::string s)
{
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

int module_anchor;

}   // namespace

std::string common_appdata_dir()
{
    if (const char* v = std::getenv("VR_APPDATA_DIR"); v && *v)
        return v;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
        return join_path(x, "vr_download");
    const char* home = std::getenv("HOME");
    return join_path(home && *home ? home : "/tmp", ".local/share/vr_download");
}

std::string system_dir()
{
    return env_or("VR_SYSTEM_DIR", join_path(common_appdata_dir(), "system"));
}
std::string qorn_dir()
{
    return env_or("VR_QORN_DIR", join_path(common_appdata_dir(), "qorn"));
}
std::string velmar_dir()
{
    return env_or("VR_VELMAR_DIR", join_path(common_appdata_dir(), "velmar"));
}

std::string client_log_marker_path()
{
    return env_or("VR_CLIENT_LOG_MARKER", join_path(common_appdata_dir(), "velmarp2sp/dlllogout.log"));
}

std::string module_dir()
{
    if (const char* v = std::getenv("VR_MODULE_DIR"); v && *v)
        return v;
    Dl_info info{};
    if (dladdr(&module_anchor, &info) && info.dli_fname && info.dli_fname[0] == '/') {
        std::string folder = parent_folder(info.dli_fname);
        if (!folder.empty())
            return folder;
    }
    char buf[4096];
    if (getcwd(buf, sizeof buf))
        return buf;
    return ".";
}

namespace {

std::mutex g_log_dir_lock;   // guards g_log_dir_fallback
std::string g_log_dir_fallback;

}   // namespace

bool folder_writable(const std::string& folder)
{
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

void set_log_dir_fallback(const std::string& folder)
{
    std::lock_guard<std::mutex> guard(g_log_dir_lock);
    g_log_dir_fallback = folder;
}

std::string log_dir()
{
    std::string dir = module_dir();
    if (folder_writable(dir))
        return dir;
    std::lock_guard<std::mutex> guard(g_log_dir_lock);
    return g_log_dir_fallback.empty() ? dir : g_log_dir_fallback;
}

namespace {

// The part of a drive path after "x:", with "." and ".." resolved as
// Windows does: ".." at the root stays at the root ("C:\.." is "C:\"), so
// the path cannot climb out of the folder its drive or prefix maps to. A
// trailing separator is kept.
std::string below_drive_root(const std::string& rest)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos)
            end = rest.size();
        const std::string part = rest.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (const std::string& part : parts)
        out += "/" + part;
    if (!rest.empty() && rest.back() == '/' && !parts.empty())
        out += "/";
    return out;
}

}   // namespace

std::string from_windows_path(const std::string& path)
{
    std::string p = slashes(path);
    // Only "x:" alone or "x:/..." is a drive path; "a:b" stays a name.
    if (p.size() < 2 || p[1] != ':' || !std::isalpha(static_cast<unsigned char>(p[0])) || (p.size() > 2 && p[2] != '/'))
        return p;
    const std::string drive_path = p.substr(0, 2) + below_drive_root(p.substr(2));
    const std::string dl = lower(drive_path);
    struct Mapping {
        const char* prefix;
        std::string (*folder)();
    };
    static const Mapping mappings[] = {
        {"c:/velmarp2sp/dlllogout.log", &client_log_marker_path},
        {"c:/velmar", &velmar_dir},
        {"c:/qorn", &qorn_dir},
    };
    for (const Mapping& m : mappings) {
        const std::size_t n = std::strlen(m.prefix);
        if (dl.compare(0, n, m.prefix) == 0 && (dl.size() == n || dl[n] == '/'))
            return m.folder() + drive_path.substr(n);
    }
    std::string rest = drive_path.substr(2);
    while (!rest.empty() && rest[0] == '/')
        rest.erase(0, 1);
    const std::string drive = join_path(common_appdata_dir(), std::string("drive_") + lower(p.substr(0, 1)));
    return rest.empty() ? drive : join_path(drive, rest);
}

std::string join_path(const std::string& a, const std::string& b)
{
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    const bool a_sep = a.back() == '/';
    const bool b_sep = b.front() == '/';
    if (a_sep && b_sep)
        return a + b.substr(1);
    if (a_sep || b_sep)
        return a + b;
    return a + '/' + b;
}

std::string parent_folder(const std::string& path)
{
    const std::size_t pos = path.find_last_of('/');
    if (pos == std::string::npos)
        return std::string();
    if (pos == 0)
        return "/";
    return path.substr(0, pos);
}

bool path_exists(const std::string& path)
{
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool folder_exists(const std::string& path)
{
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool create_folder(const std::string& path)
{
    if (path.empty())
        return false;
    if (folder_exists(path))
        return true;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const std::string parent = parent_folder(p);
    if (!parent.empty() && parent != p && !create_folder(parent))
        return false;
    if (::mkdir(p.c_str(), 0777) == 0 || errno == EEXIST)
        return folder_exists(p);
    return false;
}

bool delete_file(const std::string& path)
{
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::int64_t last_write_time(const std::string& path)
{
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_mtime);
}

std::int64_t file_size(const std::string& path)
{
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool list_folder(const std::string& path, std::vector<FolderEntry>& out)
{
    out.clear();
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return false;
    while (dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        FolderEntry entry;
        entry.name = e->d_name;
        struct stat st;
        if (::stat(join_path(path, entry.name).c_str(), &st) == 0) {
            entry.is_dir = S_ISDIR(st.st_mode);
            entry.size = entry.is_dir ? 0 : static_cast<std::uint64_t>(st.st_size);
            entry.mtime = static_cast<std::int64_t>(st.st_mtime);
        }
        out.push_back(std::move(entry));
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    return true;
}

bool rename_over(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

namespace {

// Temporary files of saves are named "<path>.tmp.<pid>.<n>".
const char kTempMark[] = ".tmp.";

// The id of the process that made a save's temporary file `name` of a file
// ending in `suffix`; 0 when the name is not of that form.
pid_t temp_owner(const std::string& name, const std::string& suffix)
{
    const std::size_t mark = name.rfind(kTempMark);
    if (mark == std::string::npos || mark < suffix.size() || name.compare(mark - suffix.size(), suffix.size(), suffix))
        return 0;
    const std::string rest = name.substr(mark + std::strlen(kTempMark));
    const std::size_t dot = rest.find('.');
    if (dot == 0 || dot == std::string::npos || dot + 1 == rest.size() ||
        rest.find_first_not_of("0123456789.") != std::string::npos || rest.find('.', dot + 1) != std::string::npos ||
        dot > 9)
        return 0;
    return static_cast<pid_t>(std::atol(rest.substr(0, dot).c_str()));
}

bool atomic_write_failed(const AtomicWriteOptions& options, const char* what, const std::string& path, int e)
{
    if (options.error)
        *options.error = std::string(what) + " '" + path + "': " + std::strerror(e);
    return false;
}

}   // namespace

bool write_file_atomically(const std::string& path, const void* data, std::size_t size,
                           const AtomicWriteOptions& options)
{
    if (path.empty())
        return atomic_write_failed(options, "cannot save", path, EINVAL);
    const std::string folder = parent_folder(path);
    if (options.create_folder && !folder.empty() && !create_folder(folder))
        return atomic_write_failed(options, "cannot create folder", folder, errno);
    // A unique temporary name per call, so concurrent saves of one file never
    // write into each other's temporary file; the last rename wins whole.
    static std::atomic<unsigned> counter{0};
    const std::string tmp = path + kTempMark + std::to_string(::getpid()) + "." + std::to_string(counter++);
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return atomic_write_failed(options, "cannot create", tmp, errno);
    // The replacement keeps the permissions of the file it replaces.
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd, old.st_mode & 07777);
    const char* p = static_cast<const char*>(data);
    std::size_t left = size;
    int failure = 0;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failure = n < 0 ? errno : EIO;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (!failure && ::fsync(fd) != 0)
        failure = errno;
    if (::close(fd) != 0 && !failure)
        failure = errno;
    if (failure) {
        ::unlink(tmp.c_str());
        return atomic_write_failed(options, "cannot write", tmp, failure);
    }
    const int rc = options.rename_fn ? options.rename_fn(tmp.c_str(), path.c_str())
                                     : ::rename(tmp.c_str(), path.c_str());
    if (rc != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        return atomic_write_failed(options, "cannot replace", path, e);
    }
    // Make the rename itself durable: the folder entry is on disk too.
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::size_t remove_abandoned_saves(const std::string& folder, const std::string& suffix)
{
    std::vector<FolderEntry> entries;
    if (folder.empty() || !list_folder(folder, entries))
        return 0;
    std::size_t removed = 0;
    for (const FolderEntry& e : entries) {
        const pid_t owner = temp_owner(e.name, suffix);
        // A save of this process or of one still running may be under way.
        if (e.is_dir || owner <= 0 || owner == ::getpid() || ::kill(owner, 0) == 0 || errno == EPERM)
            continue;
        removed += delete_file(join_path(folder, e.name)) ? 1 : 0;
    }
    return removed;
}

bool folder_keeps_holes(const std::string& folder)
{
    // A file without a name: nothing is left behind whatever happens.
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    struct stat st;
    const bool holes = ::ftruncate(fd, 1 << 20) == 0 && ::fstat(fd, &st) == 0 && st.st_blocks * 512 < st.st_size;
    ::close(fd);
    return holes;
}

bool write_file_atomically(const std::string& path, const std::string& bytes, const AtomicWriteOptions& options)
{
    return write_file_atomically(path, bytes.data(), bytes.size(), options);
}

bool read_file(const std::string& path, std::string& out, std::size_t max_bytes)
{
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[8192];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (out.size() + static_cast<std::size_t>(n) > max_bytes) {
            ok = false;
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ok)
        out.clear();
    return ok;
}

}   // namespace platform
