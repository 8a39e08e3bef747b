// One file on disk by full path, opened on demand, with 64-bit sizes and
// offsets and positional reads and writes (several threads may read and
// write different ranges through one object).
#pragma once

#include "platform/critical_section.h"
#include "platform/file_handle.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CDiskFile {
public:
    // Creates the parent folder when missing and opens the file: read-only
    // (the file must exist) or read/write (created when missing). The size
    // is cached.
    CDiskFile(const std::string& path, bool read_only);
    // Closes the handle.
    ~CDiskFile();
    CDiskFile(const CDiskFile&) = delete;
    CDiskFile& operator=(const CDiskFile&) = delete;

    // Opens again in the given mode (closing a handle held); true when the
    // handle is valid.
    bool Open(std::uint8_t read_only);

    // Closes the handle when open; later operations reopen on demand.
    void Close();

    bool IsOpen() const;
    bool IsReadOnly() const;
    const std::string& GetPath() const { return m_path; }

    // The file's size; -1 when the query fails; 0 when the file is closed
    // and cannot be opened (for instance missing).
    std::int64_t GetSize();

    // Reads at `offset`; bytes read, 0 when the file is missing or at its
    // end. Opens read-only on demand and closes again.
    std::uint32_t Read(std::uint64_t offset, void* buffer, std::uint32_t length);

    // Reads all `length` bytes at `offset` only when they can be had at
    // once: the handle open and not in use by another thread, every byte
    // in the system's page cache. Never waits for the disk; false when
    // anything is missing (the buffer's contents are then undefined).
    bool ReadCached(std::uint64_t offset, void* buffer, std::uint32_t length);

    // The open handle, shared, when all `length` bytes at `offset` can be
    // read from it at once (as for ReadCached: the handle open and not in
    // use by another thread, every byte in the page cache); else null.
    std::shared_ptr<const platform::file_handle> CachedRange(std::uint64_t offset, std::uint32_t length);

    // Writes at `offset`; bytes written (0 on failure). Opens read/write on
    // demand and closes again when it opened the file. `error`, when given,
    // gets the errno of a write that stopped short (0 when none did).
    std::uint32_t Write(std::uint64_t offset, const void* buffer, std::uint32_t length, int* error = nullptr);
    // A write goes to the system in calls of at most this many bytes. The
    // system sizes the pages it caches a file in by the length of the call:
    // large ones must come from large runs of free memory, which on a
    // virtual machine whose freed memory goes back to its host cost a fault
    // in the host per page on first use (a 4 GiB file written in 256 KiB
    // calls took 3-5 times as long as in 32 KiB calls); small ones come
    // from memory freed a moment ago.
    static constexpr std::uint32_t kWriteCall = 32u << 10;

    // Moves the end of file to `size`; a size of 0 or less is ignored.
    // Opens read/write around it when the file was closed. True on success.
    bool SetSize(std::int64_t size);

    // True when [offset, offset + length) lies inside the file and holds
    // no hole (every byte of it was written at some time).
    bool HoldsData(std::uint64_t offset, std::uint64_t length);

    // Size cached at the last open or SetSize.
    std::int64_t CachedSize() const;

private:
    bool OpenLocked(bool read_only);
    bool OpenForReadLocked();
    void CloseLocked();

    mutable CcsLocker m_lock;   // guards the handle and the mode
    // Held by one write at a time: the system writes a file's cached pages
    // under one lock of its own anyway, and writers that meet there spin on
    // it, costing several times the CPU of the copies themselves.
    std::mutex m_write_mutex;
    const std::string m_path;
    int m_fd = -1;                                           // the handle's descriptor, -1 when closed
    std::shared_ptr<const platform::file_handle> m_handle;   // closes it when the last share goes
    bool m_read_only = true;
    std::int64_t m_size = 0;
};
