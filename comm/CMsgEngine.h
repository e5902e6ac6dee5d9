// CMsgEngine: a first-in first-out queue of text messages with one consumer thread.
//
// Producers call AddMessage from any thread; the engine's own thread hands the messages, one at a
// time and in the order they were added, to the derived class's DoMessage. The consumer sleeps on
// a condition variable while the queue is empty, so an idle engine costs no CPU.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "CAutoString.h"

class CMsgEngine {
public:
    typedef std::deque<CAutoString> MsgQueue;

    // Messages that may wait at once; a message beyond them is refused (a pipe peer that writes
    // faster than it is served must not grow the queue without bound).
    static constexpr size_t kMaxQueuedMessages = 256;

    CMsgEngine() = default;
    // Stops the consumer and waits for it. A derived class whose DoMessage uses its own members
    // must call StopMsgEngineAndWait() in its own destructor, before those members go away.
    virtual ~CMsgEngine();
    CMsgEngine(const CMsgEngine&) = delete;
    CMsgEngine& operator=(const CMsgEngine&) = delete;

    // Appends a message and returns true. Works whether or not the engine runs: messages added
    // while it is stopped wait in the queue until it is started. When kMaxQueuedMessages already
    // wait, the message is dropped with a log line and false is returned.
    bool AddMessage(CAutoString message);
    // As AddMessage, but while the queue is full it first waits up to maxWait for the consumer
    // to make room. A reader that uses it slows down to the consumer's pace (its own producer
    // then waits in turn) instead of losing messages to a short burst.
    bool AddMessageWaiting(CAutoString message, std::chrono::milliseconds maxWait);
    // Starts the consumer thread unless it is already running. May be called from DoMessage.
    void StartMsgEngine();
    // Tells the consumer to end after the message it is handling. Does not wait and does not clear
    // the queue: messages still queued are handled if the engine is started again. May be called
    // from DoMessage.
    void StopMsgEngine();
    // StopMsgEngine(), then waits until the consumer thread has ended. Called from DoMessage it
    // cannot wait for itself and behaves like StopMsgEngine().
    void StopMsgEngineAndWait();
    bool IsMsgEngineRunning() const { return m_Running.load(); }
    // Number of messages waiting (for diagnostics and tests).
    size_t PendingMessages();

protected:
    // Handles one message on the consumer thread. Never runs concurrently with itself for one
    // engine; the queue lock is not held, so it may call AddMessage on the same engine.
    virtual void DoMessage(CAutoString message) = 0;

    // Blocks until a message is queued or the engine is stopped. True with the front message moved
    // into out; false as soon as the running flag is clear (queued messages stay queued).
    bool GetMessage(CAutoString& out);

private:
    void DealMessageThread();

    MsgQueue m_MsgQueue;
    // Recursive like every lock of the system's queues; the condition variable waits on it only
    // from GetMessage, where the consumer holds it exactly once.
    std::recursive_mutex m_msgLock;
    std::condition_variable_any m_msgCond;
    // Signalled whenever the consumer takes a message (room for a waiting producer).
    std::condition_variable_any m_roomCond;
    std::atomic<bool> m_Running{false};

    // Guards starting and joining the consumer thread.
    std::mutex m_threadLock;
    std::thread m_consumer;
};
