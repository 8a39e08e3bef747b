// A named auto-reset event shared between processes: one process creates it
// (and learns whether a live one already existed), others open it by name
// and set it, the creator waits on it.
//
// The liveness marker is an flock on "<runtime dir>/<name>.lock" held by the
// creating handle, so a crashed creator never leaves a stale "already
// running" marker: the kernel drops the lock with the process. The signal
// travels through the FIFO "<runtime dir>/<name>.fifo" that every handle
// keeps open for reading and writing.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Folder holding the named-event files: $VR_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/vr_download, else /tmp/vr_download-<uid>; created on use.
std::string runtime_dir();

class NamedEvent {
public:
    NamedEvent() = default;
    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    // Creates the event, or attaches to it when a live holder exists (then
    // `already_existed` is true and this handle does not own the marker).
    // False only when the files cannot be made; the handle is then closed.
    bool create(const std::string& name, bool& already_existed);

    // Attaches to an event a live creator holds. False when there is none.
    bool open(const std::string& name);

    // Signals the event: one wait (in any process) returns true and clears
    // it; several sets before a wait count once.
    bool set();

    // Waits up to `ms` milliseconds (platform::infinite: no limit). True
    // when the event was signalled.
    bool wait(std::uint32_t ms);

    // Releases the handle (and the marker when this handle created it).
    void close();

    bool is_open() const { return m_fifo >= 0; }
    // True when this handle created the event and holds the marker.
    bool owns_marker() const { return m_lock >= 0; }

    // Opens the event by name and sets it; false when no live creator holds
    // it. What a stop request from another process does.
    static bool signal(const std::string& name);

    // True when a live creator holds the event of that name.
    static bool exists(const std::string& name);

private:
    bool open_fifo(const std::string& name);

    int m_lock = -1;   // flock-held marker file, only in the creating handle
    int m_fifo = -1;   // signal channel, read and write
};

}   // namespace platform
