// PieceHashWorker: hashes the pieces of the write cache while their blocks
// are still arriving, on threads of its own (more of them as more pieces
// wait, at most one per core), so that the MD5 check of a finished piece
// costs the writing thread only the last few blocks. A thread advances
// several pieces side by side in the lanes of one vector register
// (Md5AdvanceLanes), which costs about what one piece alone would. A piece
// is in the queue at most once and hashed under its own mutex, so its
// bytes are always hashed in order, by one thread at a time.
//
// A PieceHash follows one write-cache entry: the writer publishes how many
// bytes from the start of the piece are in the entry's buffer, the worker
// hashes up to there, and the writer finishes the digest itself when the
// piece is complete (whatever the worker has not reached yet). Detach()
// or Park() before the buffer is freed or reused.
#pragma once

#include "engine/piece_buffer.h"
#include "foundation/md5.h"
#include "foundation/md5_lanes.h"
#include "platform/thread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class PieceHash {
public:
    // A piece in one buffer of `length` bytes.
    PieceHash(const std::uint8_t* data, std::uint32_t length) : m_data(data), m_length(length) {}
    // A piece in units (see PieceBuffer): each step reads within one unit.
    explicit PieceHash(std::shared_ptr<const PieceBuffer> units)
        : m_units(std::move(units)), m_length(m_units->Length())
    {
    }

    // Bytes from the start of the piece that are in the buffer (only grows).
    std::uint32_t Ready() const { return m_ready.load(std::memory_order_acquire); }
    // Publishes that the first `bytes` bytes are in the buffer.
    void SetReady(std::uint32_t bytes) { m_ready.store(bytes, std::memory_order_release); }
    // Bytes from the start hashed so far: nothing below it is read again.
    std::uint32_t Hashed() const { return m_done.load(std::memory_order_acquire); }
    // Hashes what is ready and not hashed yet, a slice at a time.
    void Advance();
    // Hashes the rest of the piece (every byte must be in the buffer) and
    // writes its digest; the buffer is no longer used afterwards.
    void Finish(unsigned char digest[kMd5DigestSize]);
    // The buffer is going away: nothing reads it any more.
    void Detach();
    // Hashes everything ready, then detaches: the digest of the leading
    // bytes is kept while the piece has no buffer.
    void Park();
    // Continues in a new buffer of the same piece, whose bytes from the
    // ready mark on will come in.
    void Attach(const std::uint8_t* data);
    void Attach(std::shared_ptr<const PieceBuffer> units);

private:
    friend class PieceHashWorker;

    // Under m_mutex: the bytes at `offset` and how many follow them in
    // memory (0 when detached).
    const std::uint8_t* Span(std::uint32_t offset, std::uint32_t& contiguous) const;
    // Hashes `n` bytes from m_hashed on (under m_mutex, within one span).
    void Add(std::uint32_t n);

    std::mutex m_mutex;                           // held while hashing
    const std::uint8_t* m_data = nullptr;         // null once detached or finished
    std::shared_ptr<const PieceBuffer> m_units;   // instead of m_data for a piece in units
    std::uint32_t m_length;
    std::uint32_t m_hashed = 0;             // bytes added to m_md5
    std::atomic<std::uint32_t> m_done{0};   // m_hashed, for readers without the mutex
    std::atomic<std::uint32_t> m_ready{0};
    Md5State m_md5;
    bool m_queued = false;   // guarded by the worker's mutex
};

class PieceHashWorker {
public:
    PieceHashWorker() = default;
    // Stops the thread; hashes still queued are dropped (their writers
    // finish them).
    ~PieceHashWorker();
    PieceHashWorker(const PieceHashWorker&) = delete;
    PieceHashWorker& operator=(const PieceHashWorker&) = delete;

    // Asks for `hash` to be advanced to its ready mark; starts a thread
    // when none is idle and the bound allows. Without a thread the writer
    // simply does all the hashing.
    void Post(const std::shared_ptr<PieceHash>& hash);
    // A hash whose every byte is ready and whose writer finishes it next
    // (its piece just completed): it waits without waking a thread, for
    // the writer that finishes first to take it along (Finish).
    void Queue(const std::shared_ptr<PieceHash>& hash);
    // The writer's end of a piece: hashes what is left of `hash` side by
    // side with the queued hashes whose every byte is ready (their writers
    // then find them hashed), and writes its digest.
    void Finish(PieceHash& hash, unsigned char digest[kMd5DigestSize]);

    // Threads started so far.
    std::size_t Threads() const;
    // At most this many threads hash at once.
    static std::size_t MaxThreads();

private:
    void Run();
    // Advances the hashes side by side, a slice of each, under their
    // mutexes; drops from `lanes` those with nothing to hash and those
    // another thread holds (the writer finishing them, or a worker).
    static void AdvanceTogether(std::vector<std::shared_ptr<PieceHash>>& lanes);

    mutable std::mutex m_mutex;   // guards the queue, the counts and the flag
    std::condition_variable m_wake;
    std::deque<std::shared_ptr<PieceHash>> m_queue;   // each hash at most once
    bool m_stop = false;
    std::size_t m_idle = 0;   // threads waiting for work
    std::vector<std::unique_ptr<platform::Thread>> m_threads;
};
