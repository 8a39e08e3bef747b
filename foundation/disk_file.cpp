#include "foundation/disk_file.h"

#include "platform/file_handle.h"
#include "platform/paths.h"
#include "platform/write_at.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

CDiskFile::CDiskFile(const std::string& path, bool read_only) : m_path(platform::from_windows_path(path))
{
    const std::string folder = platform::parent_folder(m_path);
    if (!folder.empty() && !platform::folder_exists(folder))
        platform::create_folder(folder);
    CScopedLock g(m_lock);
    OpenLocked(read_only);
}

CDiskFile::~CDiskFile()
{
    CScopedLock g(m_lock);
    CloseLocked();
}

bool CDiskFile::OpenLocked(bool read_only)
{
    CloseLocked();
    const int flags = read_only ? O_RDONLY : (O_RDWR | O_CREAT);
    do {
        m_fd = ::open(m_path.c_str(), flags | O_CLOEXEC, 0666);
    } while (m_fd < 0 && errno == EINTR);
    m_read_only = read_only;
    if (m_fd < 0)
        return false;
    m_handle = std::make_shared<const platform::file_handle>(m_fd);
    struct stat st;
    m_size = ::fstat(m_fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
    return true;
}

bool CDiskFile::OpenForReadLocked()
{
    // A brief read-only open for one query keeps the mode of the object.
    const bool was_read_only = m_read_only;
    const bool ok = OpenLocked(true);
    m_read_only = was_read_only;
    return ok;
}

void CDiskFile::CloseLocked()
{
    // A send still queued from the file holds its own share.
    m_handle.reset();
    m_fd = -1;
}

bool CDiskFile::Open(std::uint8_t read_only)
{
    CScopedLock g(m_lock);
    return OpenLocked(read_only != 0);
}

void CDiskFile::Close()
{
    CScopedLock g(m_lock);
    CloseLocked();
}

bool CDiskFile::IsOpen() const
{
    CScopedLock g(m_lock);
    return m_fd >= 0;
}

bool CDiskFile::IsReadOnly() const
{
    CScopedLock g(m_lock);
    return m_read_only;
}

std::int64_t CDiskFile::CachedSize() const
{
    CScopedLock g(m_lock);
    return m_size;
}

std::int64_t CDiskFile::GetSize()
{
    CScopedLock g(m_lock);
    const bool opened_here = m_fd < 0;
    if (opened_here && !OpenForReadLocked())
        return 0;
    struct stat st;
    const std::int64_t size = ::fstat(m_fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
    if (opened_here)
        CloseLocked();
    return size;
}

std::uint32_t CDiskFile::Read(std::uint64_t offset, void* buffer, std::uint32_t length)
{
    if (!buffer || length == 0 || offset > static_cast<std::uint64_t>(INT64_MAX))
        return 0;
    CScopedLock g(m_lock);
    const bool opened_here = m_fd < 0;
    if (opened_here && !OpenForReadLocked())
        return 0;
    // As Write: a file left open is read outside the lock.
    const std::shared_ptr<const platform::file_handle> handle = m_handle;
    const int fd = m_fd;
    if (!opened_here)
        m_lock.Unlock();
    char* p = static_cast<char*>(buffer);
    std::uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::uint32_t>(n);
    }
    if (!opened_here)
        m_lock.Lock();
    if (opened_here)
        CloseLocked();
    return done;
}

bool CDiskFile::ReadCached(std::uint64_t offset, void* buffer, std::uint32_t length)
{
    if (!buffer || length == 0 || offset > static_cast<std::uint64_t>(INT64_MAX) || !m_lock.TryLock())
        return false;
    std::uint32_t done = 0;
    while (m_fd >= 0 && done < length) {
        iovec part{static_cast<char*>(buffer) + done, length - done};
        const ssize_t n = ::preadv2(m_fd, &part, 1, static_cast<off_t>(offset + done), RWF_NOWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;   // EAGAIN: the rest would come from the disk
        done += static_cast<std::uint32_t>(n);
    }
    m_lock.Unlock();
    return done == length;
}

std::shared_ptr<const platform::file_handle> CDiskFile::CachedRange(std::uint64_t offset, std::uint32_t length)
{
    if (length == 0 || offset > static_cast<std::uint64_t>(INT64_MAX) || !m_lock.TryLock())
        return nullptr;
    std::shared_ptr<const platform::file_handle> handle;
    // (The bytes past the end of a file are another file's.)
    if (m_fd >= 0 && offset + length <= static_cast<std::uint64_t>(m_size) &&
        platform::in_page_cache(m_fd, offset, length))
        handle = m_handle;
    m_lock.Unlock();
    return handle;
}

std::uint32_t CDiskFile::Write(std::uint64_t offset, const void* buffer, std::uint32_t length, int* error)
{
    if (error)
        *error = 0;
    if (!buffer || length == 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) {
        if (error)
            *error = EINVAL;
        return 0;
    }
    CScopedLock g(m_lock);
    const bool opened_here = m_fd < 0;
    if (opened_here && !OpenLocked(false)) {
        if (error)
            *error = errno;
        return 0;
    }
    // A file left open is written outside the lock, so that reads and
    // queries go on meanwhile; the share keeps the descriptor open whatever
    // another thread does with the file.
    const std::shared_ptr<const platform::file_handle> handle = m_handle;
    const int fd = m_fd;
    if (!opened_here)
        m_lock.Unlock();
    const char* p = static_cast<const char*>(buffer);
    std::uint32_t done = 0;
    std::unique_lock<std::mutex> writing(m_write_mutex, std::try_to_lock);
    if (!writing.owns_lock()) {
        // Another thread writes the file. Meanwhile the system sets up the
        // pages this write goes to, which it could only do one write at a
        // time under the file's lock; on a virtual machine taking new pages
        // costs most of a write (a 4 GiB file: 4.2-4.4 s instead of 5.9-6.0).
        platform::cache_range(fd, offset, length);
        writing.lock();
    }
    while (done < length) {
        const std::uint32_t call = std::min(length - done, kWriteCall);
        const long n = platform::write_at(fd, p + done, call, static_cast<std::int64_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (error)
                *error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::uint32_t>(n);
    }
    writing.unlock();
    if (!opened_here)
        m_lock.Lock();
    const std::int64_t end = static_cast<std::int64_t>(offset + done);
    if (end > m_size)
        m_size = end;
    if (opened_here)
        CloseLocked();
    return done;
}

bool CDiskFile::HoldsData(std::uint64_t offset, std::uint64_t length)
{
    if (length == 0 || offset > static_cast<std::uint64_t>(INT64_MAX) - length)
        return false;
    CScopedLock g(m_lock);
    const bool opened_here = m_fd < 0;
    if (opened_here && !OpenForReadLocked())
        return false;
    // The first hole at or after the offset (the end of the file counts as
    // one) must lie past the range.
    const off_t hole = ::lseek(m_fd, static_cast<off_t>(offset), SEEK_HOLE);
    if (opened_here)
        CloseLocked();
    return hole >= 0 && static_cast<std::uint64_t>(hole) >= offset + length;
}

bool CDiskFile::SetSize(std::int64_t size)
{
    if (size <= 0)
        return false;
    CScopedLock g(m_lock);
    const bool opened_here = m_fd < 0;
    if (opened_here && !OpenLocked(false))
        return false;
    int r;
    do {
        r = ::ftruncate(m_fd, static_cast<off_t>(size));
    } while (r != 0 && errno == EINTR);
    if (r == 0)
        m_size = size;
    if (opened_here)
        CloseLocked();
    return r == 0;
}
