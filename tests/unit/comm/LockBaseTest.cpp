#include "LockBase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "CLockGuard.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
using orvane_test::waitFor;

namespace {

// Runs fn on another thread and returns its result: lock ownership is per thread.
template <class Fn>
bool OnOtherThread(Fn fn) {
    bool result = false;
    std::thread t([&] { result = fn(); });
    t.join();
    return result;
}

}  // namespace

TEST(RWLockTest, ReadersShareTheLock) {
    RWLock lock;
    constexpr int kReaders = 4;
    std::atomic<int> inside{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&] {
            lock.Lock(0);
            ++inside;
            waitFor([&] { return release.load(); }, 5s);
            lock.UnLock();
        });
    }
    // Every reader gets in while the others still hold the lock; a writer does not.
    EXPECT_TRUE(waitFor([&] { return inside.load() == kReaders; }, 5s));
    EXPECT_FALSE(lock.TryLock(1));
    release = true;
    for (auto& t : readers)
        t.join();
    EXPECT_TRUE(lock.TryLock(1));
    lock.UnLock();
}

TEST(RWLockTest, WriterExcludesReadersAndWriters) {
    RWLock lock;
    lock.Lock(1);
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(0); }));
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(1); }));

    std::atomic<bool> readerIn{false};
    std::thread reader([&] {
        lock.Lock(0);
        readerIn = true;
        lock.UnLock();
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(readerIn.load());
    lock.UnLock();
    EXPECT_TRUE(waitFor([&] { return readerIn.load(); }, 5s));
    reader.join();
}

TEST(MutexLockTest, OwnerMayLockAgainOthersWaitForTheLastUnlock) {
    MutexLock lock;
    lock.Lock();
    EXPECT_TRUE(lock.TryLock());
    lock.Lock(1);  // the argument makes no difference
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(); }));
    lock.UnLock();
    lock.UnLock();
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(); }));
    lock.UnLock();
    EXPECT_TRUE(OnOtherThread([&] {
        const bool got = lock.TryLock();
        if (got)
            lock.UnLock();
        return got;
    }));
}

namespace {

// Records what the guard does with it.
struct CountingLock {
    int exclusive = 0;
    int shared = 0;
    int unlocks = 0;
    void Lock(int mode) { ++(mode ? exclusive : shared); }
    void UnLock() { ++unlocks; }
};

}  // namespace

TEST(CLockGuardTest, PolicyDecidesHowTheLockIsTaken) {
    CountingLock lock;
    {
        CLockGuard<CountingLock> guard(&lock);
        EXPECT_EQ(lock.exclusive, 1);
    }
    {
        CLockGuard<CountingLock, SharedLockPolicy> guard(&lock);
        EXPECT_EQ(lock.shared, 1);
    }
    EXPECT_EQ(lock.unlocks, 2);
}

TEST(CLockGuardTest, EntersAndLeavesOnceEach) {
    CountingLock lock;
    {
        CLockGuard<CountingLock> guard(&lock, false);
        EXPECT_EQ(lock.exclusive, 0);
        guard.Enter();
        guard.Enter();
        guard.Leave();
        guard.Leave();
    }
    EXPECT_EQ(lock.exclusive, 1);
    EXPECT_EQ(lock.unlocks, 1);  // the destructor does not leave a second time
    CLockGuard<CountingLock> none(nullptr);
    none.Enter();
}

TEST(CLockGuardTest, SharedGuardsOnAnRWLockCoexist) {
    RWLock lock;
    {
        CLockGuard<RWLock, SharedLockPolicy> guard(&lock);
        EXPECT_TRUE(OnOtherThread([&] {
            const bool got = lock.TryLock(0);
            if (got)
                lock.UnLock();
            return got;
        }));
        EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(1); }));
    }
    {
        CLockGuard<RWLock> guard(&lock);
        EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(0); }));
    }
    EXPECT_TRUE(lock.TryLock(1));
    lock.UnLock();
}
