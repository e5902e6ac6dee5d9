// CNetWatch: knows, without polling, the network the machine uses: the card of the default route,
// whether it has carrier, and its addresses. A watcher thread listens to rtnetlink for changes of
// links, addresses and routes; after a burst of notifications it reads the tables once and, when
// the picture changed, tells its callback.
//
// Threads: Start, Stop and the destructor belong to the owner's thread; the callback runs on the
// watcher thread and must not destroy the watcher (it may call Stop, which then does not wait).
// Current, LastError and WaitUntilUp may be called from any thread. One internal lock guards the
// snapshot; it is never held while the callback runs.
//
// The sockets are opened by Start in the network namespace of the calling thread, and the watcher
// describes that namespace for its whole life, whichever namespace its thread runs in.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "CNetlinkSocket.h"
#include "CUniqueFd.h"

class CNetWatch {
public:
    struct Snapshot {
        bool up = false;   // a default route, and its card is up with carrier
        std::string card;  // the default route's card ("" without a default route)
        int ifindex = 0;   // its interface index (0 without a default route)
        std::string ip4;   // the card's first IPv4 address, dotted decimal ("" when none)
        std::string ip6;   // its global IPv6 address ("" when none)

        bool operator==(const Snapshot& other) const;
        bool operator!=(const Snapshot& other) const { return !(*this == other); }
        // One line for logs and test messages.
        std::string Describe() const;
    };
    using Callback = std::function<void(const Snapshot& before, const Snapshot& now)>;

    CNetWatch() = default;
    ~CNetWatch();
    // The watcher thread holds this object.
    CNetWatch(const CNetWatch&) = delete;
    CNetWatch& operator=(const CNetWatch&) = delete;

    // Opens the sockets, computes the first snapshot and starts the watcher thread; callback
    // (may be empty) hears of every later change. False, with the reason in LastError(), when
    // netlink cannot be opened or read, or the watcher already runs.
    bool Start(Callback callback);
    // Ends the watcher thread and waits for it (promptly: it sleeps in poll on a stop event).
    // Safe to call when not running, and repeatedly.
    void Stop();

    // The last computed snapshot (all down before Start).
    Snapshot Current() const;
    std::string LastError() const;
    // Waits until the snapshot says up, the watcher stops or timeout passes; true when up. Returns
    // at once when the watcher does not run.
    bool WaitUntilUp(std::chrono::milliseconds timeout);

    // One synchronous reading of the tables of the calling thread's namespace; a snapshot that is
    // all down, with the reason in *error, when they cannot be read.
    static Snapshot Read(std::string* error = nullptr);

private:
    class RereadSchedule;

    void Run();
    // Waits once for notifications, the stop event or the due re-reading, and re-reads when due.
    // False when the watcher must end.
    bool WaitAndRecompute(RereadSchedule& schedule);
    // Reads the tables and publishes a changed snapshot; false when they could not be read.
    bool Recompute();
    void SetError(const std::string& error);

    CNetlinkSocket m_events;    // subscribed to the change notifications
    CNetlinkSocket m_requests;  // the dumps; used by Start, then by the watcher thread only
    CUniqueFd m_stopEvent;      // eventfd; written by Stop
    Callback m_callback;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_upCond;  // the snapshot changed or the watcher stopped
    Snapshot m_current;
    std::string m_error;
    bool m_running = false;
};
