// The outgoing bytes of one connection: bytes copied in, and ranges of
// open files sent from the file without a copy. Appends never move the
// bytes of the send in flight: they go to a segment after the one handed
// out, and a segment is dropped only once it has gone out completely, so a
// send's bytes (and its file) stay valid until its completion. What may
// wait unsent is capped.
#pragma once

#include "net/io/stream_socket.h"
#include "picker/block_request.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// One send: `length` bytes at `data`, or, with a file, at `offset` of it
// (the file shared with the queue until the send's completion).
struct i_send_range {
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    std::shared_ptr<const platform::file_handle> file;
    std::uint64_t offset = 0;
    bool more = false;   // bytes from a file follow at once: send these with them
};

class i_send_queue {
public:
    static constexpr std::size_t default_limit = 4u << 20;   // bytes waiting at most

    // Appends [first, last). False (nothing appended) when the bytes would
    // take the unsent total past the limit.
    bool append(const std::uint8_t* first, const std::uint8_t* last);

    // Appends [first, last) and then, when `file` has a handle, `length`
    // bytes of it (the block lies there): all, or nothing when the limit
    // would be passed.
    bool append(const std::uint8_t* first, const std::uint8_t* last, const BlockFile& file, std::uint32_t length);

    // The next range to send, or false when nothing waits. Only one range
    // is handed out at a time; call completed() before asking again.
    bool next(i_send_range& range);

    // `bytes` of the range handed out have been sent.
    void completed(std::uint32_t bytes);

    // Unsent bytes (in flight and waiting).
    std::size_t unsent() const { return m_unsent; }
    bool empty() const { return m_unsent == 0; }

    void clear();
    void set_limit(std::size_t bytes) { m_limit = bytes; }

    // The sent offset stays inside the segment in flight.
    void check_invariant() const;
    std::size_t limit() const { return m_limit; }

private:
    struct segment {
        std::vector<std::uint8_t> bytes;   // when no file
        BlockFile file;
        std::uint32_t file_length = 0;
        std::size_t sent = 0;
        std::size_t size() const { return file.handle ? file_length : bytes.size(); }
    };
    // A segment bytes can be added to: the last, unless it is a file's or
    // the one handed out.
    std::vector<std::uint8_t>& tail_bytes();

    std::deque<segment> m_segments;      // the front is sent first
    bool m_handed_out = false;           // the front's range is in flight
    std::vector<std::uint8_t> m_spare;   // a sent segment's buffer, kept for the next
    std::size_t m_unsent = 0;
    std::size_t m_limit = default_limit;
};

// The receive window: a buffer, the bytes filled and the bytes wanted; the
// next receive reads wanted - filled bytes at `filled`. The bytes may be
// outside memory instead of the buffer (`targets`, filled in order and
// kept valid by `hold`).
struct i_receive_window {
    std::vector<std::uint8_t> buffer;
    std::uint32_t wanted = 0;
    std::uint32_t filled = 0;
    std::vector<i_receive_span> targets;   // empty: the window's bytes are `buffer`
    std::shared_ptr<void> hold;            // owns what `targets` point into while the window uses it

    // Sets the lengths; grows the buffer to `wanted` when smaller. The
    // window's bytes are the buffer again.
    void set(std::uint32_t new_filled, std::uint32_t new_wanted);
    // The window's bytes are the `new_wanted` bytes at `data`, owned by
    // `owner` (shared with a receive in flight into them).
    void set_target(std::uint8_t* data, std::uint32_t new_filled, std::uint32_t new_wanted,
                    std::shared_ptr<void> owner);
    // The window's bytes are `spans`, in order (at most
    // i_stream_socket::max_receive_spans; they may point into the buffer).
    void set_targets(const std::vector<i_receive_span>& spans, std::shared_ptr<void> owner);
    // Drops the targets and the lengths; the hold is handed to the caller
    // (to be given up outside the lock).
    std::shared_ptr<void> clear_targets();
    // Bytes the next receive asks for.
    std::uint32_t missing() const { return wanted > filled ? wanted - filled : 0; }
    bool complete() const { return filled == wanted; }
    void zero() { std::fill(buffer.begin(), buffer.end(), std::uint8_t{0}); }
};

// The send queue and receive window of one connection with the rule of at
// most one send and one receive in flight. The owner holds `lock` around
// every call and starts the transfer a begin_ call hands out.
struct i_transfer_pump {
    std::mutex lock;
    i_send_queue queue;
    i_receive_window window;
    bool sending = false;
    bool send_failed = false;   // a failed send stops the send side
    bool receiving = false;
    bool receive_failed = false;   // after an error a stream gives nothing more
    // A completed receive is being handed to the connection, which may read
    // and move the window's bytes meanwhile: no receive may start.
    bool delivering = false;
    std::shared_ptr<void> receive_hold;   // the receive in flight's share of the window's target

    // The next range to send, when no send is in flight; marks it in flight.
    bool begin_send(i_send_range& range);
    void end_send(std::uint32_t error, std::uint32_t bytes);
    // Where (`count` spans of `spans`, which has room for
    // i_stream_socket::max_receive_spans) and how much to receive, when no
    // receive is in flight or being delivered and the window wants bytes;
    // marks it in flight.
    bool begin_receive(i_receive_span* spans, std::size_t& count, std::uint32_t& length);
    // The receive completed; it is being delivered until end_delivery.
    void end_receive(std::uint32_t error, std::uint32_t bytes);
    void end_delivery() { delivering = false; }
    // The receive in flight's share of its target, given up (to be dropped
    // outside the lock: giving up a lent block takes its owner's lock).
    std::shared_ptr<void> take_receive_hold() { return std::move(receive_hold); }
    // Forgets everything (no transfer may be in flight).
    void reset();

    // The window never reads past its buffer; a failed side is idle.
    void check_invariant() const;
};
