// The lock family the code is written against: a lock with virtual Lock and
// Unlock, its critical-section form and a scoped guard.
#pragma once

#include <mutex>

// A lock the owner can hand around as a base pointer.
class CLockBase {
public:
    virtual ~CLockBase() = default;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;

    // std::lock_guard / std::unique_lock compatibility.
    void lock() { Lock(); }
    void unlock() { Unlock(); }
};

// Critical section: recursive, because the storage path re-enters its own
// locks on the same thread.
class CcsLocker : public CLockBase {
public:
    CcsLocker() = default;
    CcsLocker(const CcsLocker&) = delete;
    CcsLocker& operator=(const CcsLocker&) = delete;

    void Lock() override { m_mutex.lock(); }
    void Unlock() override { m_mutex.unlock(); }
    bool TryLock() { return m_mutex.try_lock(); }

private:
    std::recursive_mutex m_mutex;
};

// Locks on construction, unlocks on destruction.
class CScopedLock {
public:
    explicit CScopedLock(CLockBase& lock) : m_lock(lock) { m_lock.Lock(); }
    explicit CScopedLock(CLockBase* lock) : CScopedLock(*lock) {}
    ~CScopedLock() { m_lock.Unlock(); }
    CScopedLock(const CScopedLock&) = delete;
    CScopedLock& operator=(const CScopedLock&) = delete;

private:
    CLockBase& m_lock;
};
