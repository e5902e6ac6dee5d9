// LockBase and its two implementations. The base versions do nothing (TryLock succeeds).
#pragma once

#include <pthread.h>

#include <mutex>

class LockBase {
public:
    virtual ~LockBase() = default;
    virtual void Lock(int mode) { (void)mode; }
    virtual bool TryLock(int mode) {
        (void)mode;
        return true;
    }
    virtual void UnLock() {}
};

// Reader-writer lock: Lock(non-zero) takes the write lock, Lock(0) the read lock. Not recursive.
class RWLock : public LockBase {
public:
    RWLock();
    ~RWLock() override;
    RWLock(const RWLock&) = delete;
    RWLock& operator=(const RWLock&) = delete;

    void Lock(int mode) override;
    bool TryLock(int mode) override;
    void UnLock() override;

private:
    pthread_rwlock_t _lock;
};

// Recursive mutex: the argument of Lock/TryLock is ignored; the owning thread may lock again.
class MutexLock : public LockBase {
public:
    MutexLock() = default;
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Lock(int mode = 0) override;
    bool TryLock(int mode = 0) override;
    void UnLock() override;

private:
    std::recursive_mutex _lock;
};
