#include "LockBase.h"

RWLock::RWLock() { pthread_rwlock_init(&_lock, nullptr); }

RWLock::~RWLock() { pthread_rwlock_destroy(&_lock); }

void RWLock::Lock(int mode) {
    if (mode != 0) {
        pthread_rwlock_wrlock(&_lock);
    } else {
        pthread_rwlock_rdlock(&_lock);
    }
}

bool RWLock::TryLock(int mode) {
    const int rc = mode != 0 ? pthread_rwlock_trywrlock(&_lock) : pthread_rwlock_tryrdlock(&_lock);
    return rc == 0;
}

void RWLock::UnLock() { pthread_rwlock_unlock(&_lock); }

void MutexLock::Lock(int) { _lock.lock(); }

bool MutexLock::TryLock(int) { return _lock.try_lock(); }

void MutexLock::UnLock() { _lock.unlock(); }
