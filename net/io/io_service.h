// The front object of the I/O layer: a registry of services keyed by their
// class, and run/stop/pause/restart/post over the completion service.
//
// The owner builds one i_io_service, runs `run` on one thread (every
// handler of its sockets and timers runs there, one at a time), and at the
// end calls set_stopped and stop, joins that thread and destroys it.
#pragma once

#include "net/io/io_error.h"

#include <cstdint>
#include <mutex>
#include <typeindex>
#include <vector>

class i_io_service;
class i_iocp_io_service;

// Base of every service held by the registry.
class i_service {
public:
    explicit i_service(i_io_service& owner) : m_owner(owner) {}
    virtual ~i_service() = default;
    i_service(const i_service&) = delete;
    i_service& operator=(const i_service&) = delete;

    // Ends the service's work before any service is destroyed.
    virtual void shutdown_service() = 0;

    i_io_service& get_io_service() { return m_owner; }

private:
    friend class i_service_registry;
    i_io_service& m_owner;
    std::type_index m_type{typeid(void)};   // class identity, set by the registry
};

// Services in creation order; created on first use outside the lock.
class i_service_registry {
public:
    explicit i_service_registry(i_io_service& owner) : m_owner(owner) {}
    // Shuts every service down, then deletes them, both in list order.
    ~i_service_registry();
    i_service_registry(const i_service_registry&) = delete;
    i_service_registry& operator=(const i_service_registry&) = delete;

    // The service of class T, created (with the owning i_io_service) on
    // first use. A T's constructor may ask for the services it needs.
    template <class T>
    T& use_service()
    {
        const std::type_index id(typeid(T));
        if (i_service* found = find(id))
            return static_cast<T&>(*found);
        auto* created = new T(m_owner);
        return static_cast<T&>(*add(created, id));
    }

    // Calls shutdown_service on every service in list order (once).
    void shutdown_services();

private:
    i_service* find(const std::type_index& id);
    // Appends `created` unless a service of its class appeared meanwhile,
    // in which case `created` is deleted and the other one returned.
    i_service* add(i_service* created, const std::type_index& id);

    i_io_service& m_owner;
    std::mutex m_lock;   // guards the list walk only
    std::vector<i_service*> m_services;
    bool m_shut_down = false;
};

class i_io_service {
public:
    i_io_service();
    // Shuts down and deletes every service (pending handlers never run).
    ~i_io_service();
    i_io_service(const i_io_service&) = delete;
    i_io_service& operator=(const i_io_service&) = delete;

    // Runs completions on the calling thread until stopped; returns the
    // number of handlers run (saturating at 4294967295).
    std::uint32_t run();

    // Ends `run` once: the first call posts one empty completion, later
    // calls do nothing.
    void stop();

    // Makes `run` return after the completion it is handling (or the next).
    void set_stopped();

    // Parks the I/O thread between two completions and returns once it is
    // parked (true). Call from another thread; every pause that returned
    // true is followed by one restart(). Pauses nest: the thread stays
    // parked until each has been restarted. False, with nothing to
    // restart, on the I/O thread and when the service stops or nobody runs
    // it before the thread parks.
    bool pause();

    // Ends one pause; the thread continues when none is left.
    void restart();

    // Refuses further posts and drops every queued completion unrun.
    void shutdown();

    // Once run has returned for good (the I/O thread has ended): completes
    // every operation still queued or waiting as cancelled (995), on the
    // calling thread, so each handler releases what it holds (a
    // connection's reference). Bounded by `limit` handlers; returns how
    // many ran. Nothing happens while run is active or after shutdown.
    std::uint32_t run_abandoned(std::uint32_t limit = 1000000);

    // For a service no thread runs (tests stand in for the I/O thread):
    // runs the completions queued now on the calling thread, which counts
    // as the I/O thread meanwhile. Returns how many ran; 0 while another
    // thread runs the service.
    std::uint32_t poll();

    // True once stop, set_stopped or shutdown has been called: handlers
    // still pending may never run, so a wait for their references (a
    // task's live-connection count, a connection's reference count) must
    // give up when this reads true.
    bool stopped() const;

    // Queues `function(context, 0)` to run on the I/O thread. 0 when
    // queued; non-zero when refused (after shutdown).
    std::uint32_t post(i_handler function, void* context);

    template <class T>
    T& use_service()
    {
        return m_registry.use_service<T>();
    }

    i_iocp_io_service& impl() { return *m_impl; }

private:
    i_service_registry m_registry;
    i_iocp_io_service* m_impl;
};
