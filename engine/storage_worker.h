// StorageWorker: the storage's disk thread. Work items (block writes,
// piece read-backs and checks, bitmap saves) run on it one after the other
// in posting order; each item's completion then runs on the I/O thread, in
// the same order, so that the network thread never waits for the disk.
//
// Until Start() (or when no I/O service is set) a completion runs on the
// thread that ran its work; without a started thread the work itself runs
// at once on the posting thread.
#pragma once

#include "net/io/io_error.h"
#include "platform/thread.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

class i_io_service;

class StorageWorker {
public:
    using Fn = std::function<void()>;

    // Work posted and not finished yet holds at most about this many bytes;
    // a post beyond it waits for the disk (the backlog is bounded, not the
    // network thread's time).
    static constexpr std::size_t kMaxPendingBytes = std::size_t(16) << 20;

    StorageWorker() = default;
    // Runs what is still queued, then joins the thread.
    ~StorageWorker();
    StorageWorker(const StorageWorker&) = delete;
    StorageWorker& operator=(const StorageWorker&) = delete;

    // Starts the thread; false when it could not be made (work then runs
    // on the posting thread).
    bool Start();
    bool Started() const;

    // Where completions run. Null: on the worker thread; completions that
    // were waiting for the I/O thread run now, on the calling thread.
    void SetIoService(i_io_service* io);

    // Runs `work` on the worker thread, then `done` (may be empty) as
    // described above. `bytes` is what the item holds until it is done.
    void Post(Fn work, Fn done, std::size_t bytes);

    // Returns once everything posted so far has run (completions meant for
    // the I/O thread may still be queued for it).
    void Drain();

private:
    struct Item {
        Fn work;
        Fn done;
        std::size_t bytes = 0;
    };

    void Run();
    void Finish(Item& item);
    void RunCompletions();
    static void OnIo(void* context, const i_error_code& error);

    mutable std::mutex m_mutex;       // guards everything below but the thread
    std::condition_variable m_wake;   // work queued, or stop
    std::condition_variable m_idle;   // an item finished
    std::deque<Item> m_queue;
    std::size_t m_pending_bytes = 0;   // of queued and running items
    std::size_t m_running = 0;         // items taken off the queue and not finished
    bool m_sleeping = false;           // the thread waits on m_wake and has not been woken yet
    bool m_started = false;
    bool m_stop = false;
    i_io_service* m_io = nullptr;
    std::deque<Fn> m_completions;   // waiting for the I/O thread
    bool m_io_posted = false;       // a handler for them is queued
    std::mutex m_completion_run;    // completions run one batch at a time
    platform::Thread m_thread;
};
