// StorageWorker: the storage's disk threads. Work items (block writes,
// piece read-backs and checks, bitmap saves, reads for upload) run on a few
// threads at once, so that the disk work of several tasks, or of the pieces
// of one big file, keeps up with the network; items of one piece run one
// after the other in posting order, and an item for a whole channel (a
// bitmap save) runs after everything of the channel posted before it and
// before anything posted after it. A channel's items take all threads but
// one at most, so that a disk that hangs holds no other channel's work. Each item's completion then runs on the
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
#include <map>
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

    // A channel's work posted and not finished yet holds about this many
    // bytes at most: past it, WaitRoom waits for that channel's own disk
    // work (its backlog is bounded, not the network thread's time), never
    // for another channel's.
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

    // Returns once the channel's work not finished holds less than
    // kMaxPendingBytes (at once without started threads or an I/O
    // service). Called with no lock held: a post itself never waits.
    void WaitRoom(std::uint64_t channel);

    // Returns once everything posted so far has run (completions meant for
    // the I/O thread may still be queued for it).
    void Drain();
    // Returns once nothing of the channel is queued or running.
    void Drain(std::uint64_t channel);

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
    // A channel's queued and running items.
    struct Load {
        std::size_t bytes = 0;
        std::size_t items = 0;
        std::size_t running = 0;
    };

    std::vector<Key> m_running;             // keys of the items being worked on
    std::deque<Slot> m_order;               // every item not completed yet, in posting order
    std::map<std::uint64_t, Load> m_load;   // by channel, while it has items
    std::size_t m_sleeping = 0;             // threads waiting on m_wake
    bool m_started = false;
    bool m_stop = false;
    i_io_service* m_io = nullptr;
    std::deque<Fn> m_completions;   // waiting for the I/O thread
    bool m_io_posted = false;       // a handler for them is queued
    std::mutex m_completion_run;    // completions run one batch at a time
    std::vector<std::unique_ptr<platform::Thread>> m_threads;
};
