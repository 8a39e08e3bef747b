// StorageWorker: the storage's disk threads. Work items (block writes,
// piece read-backs and checks, bitmap saves, reads for upload) run on a few
// threads at once, so that the disk work of several tasks, or of the pieces
// of one big file, keeps up with the network; items of one piece run one
// after the other in posting order, and an item for a whole channel (a
// bitmap save) runs after everything of the channel posted before it and
// before anything posted after it. Each item's completion then runs on the
// I/O thread, in posting order among the items of its channel (a channel's
// completions never wait for another channel's disk work), so that the
// network thread never waits for the disk.
//
// Until Start() (or when no I/O service is set) a completion runs on the
// thread that finished its work; without started threads the work itself
// runs at once on the posting thread.
#pragma once

#include "net/io/io_error.h"
#include "platform/thread.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class i_io_service;

class StorageWorker {
public:
    using Fn = std::function<void()>;

    // What an item works on: one piece of a channel, or (kWholeChannel)
    // the channel as a whole.
    struct Key {
        std::uint64_t channel = 0;
        std::uint32_t piece = 0;
    };
    static constexpr std::uint32_t kWholeChannel = UINT32_MAX;

    // Work posted and not finished yet holds at most about this many bytes;
    // a post beyond it waits for the disk (the backlog is bounded, not the
    // network thread's time).
    static constexpr std::size_t kMaxPendingBytes = std::size_t(8) << 20;
    // Disk threads at most (two on a machine with fewer than eight cores).
    static constexpr std::size_t kMaxThreads = 4;

    StorageWorker() = default;
    // Runs what is still queued, then joins the threads.
    ~StorageWorker();
    StorageWorker(const StorageWorker&) = delete;
    StorageWorker& operator=(const StorageWorker&) = delete;

    // Starts the threads; false when none could be made (work then runs
    // on the posting thread).
    bool Start();
    bool Started() const;
    // Threads running.
    std::size_t Threads() const;

    // Where completions run. Null: on the worker threads; completions that
    // were waiting for the I/O thread run now, on the calling thread.
    void SetIoService(i_io_service* io);

    // Runs `work` on a worker thread, ordered as described above by `key`,
    // then `done` (may be empty). `bytes` is what the item holds until it
    // is done.
    void Post(Key key, Fn work, Fn done, std::size_t bytes);
    // An item for no channel in particular: ordered with every item.
    void Post(Fn work, Fn done, std::size_t bytes)
    {
        Post(Key{0, kWholeChannel}, std::move(work), std::move(done), bytes);
    }

    // Returns once everything posted so far has run (completions meant for
    // the I/O thread may still be queued for it).
    void Drain();

private:
    // An item's place in posting order, until its completion is queued.
    struct Slot {
        Key key;
        bool finished = false;
        bool released = false;   // its completion is queued
        Fn done;
    };
    struct Item {
        Key key;
        Fn work;
        std::size_t bytes = 0;
        Slot* slot = nullptr;
    };

    static bool Conflict(const Key& a, const Key& b);
    // Under m_mutex: the first queued item that may run now (none: end).
    std::deque<Item>::iterator NextRunnable();
    void Run();
    void Finish(Item& item);
    // Under m_mutex: queues the completions of finished items that no
    // unfinished earlier item of their channel holds back; true if any.
    bool ReleaseCompletions();
    void RunCompletions();
    static void OnIo(void* context, const i_error_code& error);

    mutable std::mutex m_mutex;       // guards everything below but the threads
    std::condition_variable m_wake;   // work queued, or stop
    std::condition_variable m_idle;   // an item finished
    std::deque<Item> m_queue;
    std::vector<Key> m_running;        // keys of the items being worked on
    std::deque<Slot> m_order;          // every item not completed yet, in posting order
    std::size_t m_pending_bytes = 0;   // of queued and running items
    std::size_t m_sleeping = 0;        // threads waiting on m_wake
    bool m_started = false;
    bool m_stop = false;
    i_io_service* m_io = nullptr;
    std::deque<Fn> m_completions;   // waiting for the I/O thread
    bool m_io_posted = false;       // a handler for them is queued
    std::mutex m_completion_run;    // completions run one batch at a time
    std::vector<std::unique_ptr<platform::Thread>> m_threads;
};
