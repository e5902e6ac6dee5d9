// CLockGuard<lock, policy>: scope guard. The policy decides what entering and leaving do, so one
// guard type serves exclusive, shared and store-specific locking.
#pragma once

#include "LockBase.h"

// Policies: each has Enter(lock*) and Leave(lock*).
struct ExclusiveLockPolicy {
    template <class L>
    void Enter(L* lock) { lock->Lock(1); }
    template <class L>
    void Leave(L* lock) { lock->UnLock(); }
};

struct SharedLockPolicy {
    template <class L>
    void Enter(L* lock) { lock->Lock(0); }
    template <class L>
    void Leave(L* lock) { lock->UnLock(); }
};

template <class L, class Policy = ExclusiveLockPolicy>
class CLockGuard {
public:
    // Enters at once unless enter is false; a null lock makes the guard do nothing.
    explicit CLockGuard(L* lock, bool enter = true) : _t(lock) {
        if (enter) Enter();
    }
    ~CLockGuard() { Leave(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

    void Enter() {
        if (_t != nullptr && !_entered) {
            _g.Enter(_t);
            _entered = true;
        }
    }
    void Leave() {
        if (_t != nullptr && _entered) {
            _entered = false;
            _g.Leave(_t);
        }
    }

private:
    L* _t;
    Policy _g;
    bool _entered = false;
};
