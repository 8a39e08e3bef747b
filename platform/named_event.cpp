#include "platform/named_event.h"

#include "platform/event.h"
#include "platform/paths.h"
#include "platform/tick.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Event names come from the service ("EVENT_P2SP_DOWNLOAD_DLL_EXISTS7");
// anything that could leave the runtime folder is replaced.
std::string file_stem(const std::string& name)
{
    std::string s = name;
    for (char& c : s)
        if (c == '/' || c == '\\' || c == '\0')
            c = '_';
    if (s.empty() || s == "." || s == "..")
        s = "_" + s;
    return join_path(runtime_dir(), s);
}

// True when some handle holds the marker's flock.
bool marker_held(const std::string& lock_path)
{
    const int fd = ::open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool held = false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        held = (errno == EWOULDBLOCK);
    else
        ::flock(fd, LOCK_UN);
    ::close(fd);
    return held;
}

void drain(int fd)
{
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

}   // namespace

std::string runtime_dir()
{
    std::string dir;
    if (const char* v = std::getenv("VR_RUNTIME_DIR"); v && *v)
        dir = v;
    else if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x)
        dir = join_path(x, "vr_download");
    else
        dir = "/tmp/vr_download-" + std::to_string(::getuid());
    create_folder(dir);
    return dir;
}

NamedEvent::~NamedEvent()
{
    close();
}

bool NamedEvent::open_fifo(const std::string& name)
{
    const std::string fifo_path = file_stem(name) + ".fifo";
    if (::mkfifo(fifo_path.c_str(), 0600) != 0 && errno != EEXIST)
        return false;
    // Read and write: the FIFO then never reports end of file and a set
    // never blocks, whoever else has it open.
    m_fifo = ::open(fifo_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_fifo < 0)
        return false;
    struct stat st;
    if (::fstat(m_fifo, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        ::close(m_fifo);
        m_fifo = -1;
        return false;
    }
    return true;
}

bool NamedEvent::create(const std::string& name, bool& already_existed)
{
    close();
    already_existed = false;
    const std::string lock_path = file_stem(name) + ".lock";
    const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        if (errno != EWOULDBLOCK)
            return false;
        already_existed = true;
        return open_fifo(name);
    }
    m_lock = fd;
    if (!open_fifo(name)) {
        close();
        return false;
    }
    // Sets left behind by an earlier, crashed holder are not ours.
    drain(m_fifo);
    return true;
}

bool NamedEvent::open(const std::string& name)
{
    close();
    if (!marker_held(file_stem(name) + ".lock"))
        return false;
    return open_fifo(name);
}

bool NamedEvent::set()
{
    if (m_fifo < 0)
        return false;
    const char one = 1;
    for (;;) {
        const ssize_t n = ::write(m_fifo, &one, 1);
        if (n == 1)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        // A full pipe holds plenty of pending sets: the event is set.
        return n < 0 && errno == EAGAIN;
    }
}

bool NamedEvent::wait(std::uint32_t ms)
{
    if (m_fifo < 0)
        return false;
    const std::uint64_t start = tick_count64();
    for (;;) {
        char byte;
        const ssize_t n = ::read(m_fifo, &byte, 1);
        if (n == 1) {
            // Auto-reset: every set made so far is consumed by this wait.
            drain(m_fifo);
            return true;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        int timeout = -1;
        if (ms != infinite) {
            const std::uint64_t elapsed = tick_count64() - start;
            if (elapsed >= ms)
                return false;
            timeout = static_cast<int>(ms - elapsed);
        }
        pollfd p{m_fifo, POLLIN, 0};
        if (::poll(&p, 1, timeout) < 0 && errno != EINTR)
            return false;
    }
}

void NamedEvent::close()
{
    if (m_fifo >= 0) {
        ::close(m_fifo);
        m_fifo = -1;
    }
    if (m_lock >= 0) {
        ::close(m_lock);   // drops the flock
        m_lock = -1;
    }
}

bool NamedEvent::signal(const std::string& name)
{
    NamedEvent e;
    return e.open(name) && e.set();
}

bool NamedEvent::exists(const std::string& name)
{
    return marker_held(file_stem(name) + ".lock");
}

}   // namespace platform
