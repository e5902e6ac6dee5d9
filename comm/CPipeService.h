// CPipeService: the two-FIFO message transport between the service and the desktop client.
//
// Each side creates one FIFO and writes only into it, and reads only from the FIFO the other side
// created. A message is a zero-terminated byte string; the reader splits the stream at zero bytes
// and queues each message, and the engine's message thread hands them, in order, to the callback.
//
// Open order (each side's write end waits for the other's read end, so swapping one side leaves
// both waiting):
//   service: CreateNamedPipeInServer("serverpipe", cb), then OpenNamePipeServer("clientpipe")
//   client:  CreateNamedPipeInServer("clientpipe", cb), then OpenNamePipeClient("serverpipe")
//
// Writes to a peer that has gone raise SIGPIPE; a program that wants the write to fail and be
// reported instead calls IgnoreBrokenPipeSignal() once at start-up.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>

#include "CMsgEngine.h"
#include "CPipeSplitter.h"
#include "IPipeCallback.h"
#include "LockBase.h"

class CPipeService : public CMsgEngine {
public:
    // Size of one read from the peer FIFO, and the size up to which a FIFO write is delivered
    // whole. The system's messages, terminator included, stay within it.
    static constexpr size_t kReadSize = 4096;
    // A peer that sends more than this without a zero byte has the bytes dropped (with a printed
    // line); delivery resumes after the next zero byte, so memory stays bounded.
    static constexpr size_t kMaxMessage = 1024 * 1024;

    // For the constructor: FIFOs private to this program's user.
    static constexpr gid_t kPrivate = static_cast<gid_t>(-1);

    // folder: where both FIFOs live. Empty means names are used as given, relative to the working
    // directory; otherwise each name is taken relative to folder. sharedGroup: kPrivate for FIFOs
    // of mode 0600 under the installation's rule (CInstallationCheck); a group id for a runtime
    // folder shared with that group's members (CRuntimeFolder): the own FIFO is then made afresh
    // with mode 0660 and that group, and the peer's must be the same, owned by root when this
    // side is the client.
    explicit CPipeService(std::string folder = std::string(), gid_t sharedGroup = kPrivate);
    // Stops and waits for the message thread, closes both descriptors and removes the own FIFO.
    // LoopMsg must have returned (see StopLoop) before the object is destroyed.
    ~CPipeService() override;

    // Stores the own FIFO name and the callback (not owned; it must outlive the transport's message
    // thread), then creates the FIFO with mode 0600. Returns 0 when it was created, -1 when a file
    // of that name already exists (it is left as it is and reused) or the creation failed. In a
    // shared folder whatever is there is replaced by a new FIFO (see the constructor).
    int CreateNamedPipeInServer(const char* pipeName, IPipeCallback* callback);
    // Both open operations use a FIFO only when it is not a link, belongs to root or this
    // program's user and nobody else may write it; anything else is refused (-1) with a printed
    // and a logged line. The write end's open, made after those checks, waits in open() itself
    // until the peer has opened its read end, so the waiting thread sleeps without waking; the
    // peer's FIFO is looked for every second until it exists. StopLoop ends either wait.
    //
    // Service side. Opens the own FIFO for writing once a reader has opened it, then opens
    // peerName for reading. Returns 0 when both are open, -1 on failure or when StopLoop
    // intervened.
    int OpenNamePipeServer(const char* peerName);
    // Client side. Opens peerName for reading, then the own FIFO for writing once the peer
    // reads it. Returns 0 when both are open, -1 on failure or when StopLoop intervened.
    int OpenNamePipeClient(const char* peerName);

    // Writes message and its zero terminator as one uninterrupted write, from any thread. False
    // without writing while the write end is not open; false with "write error=..." printed when
    // the write fails (for example because the peer has gone and SIGPIPE is ignored). The line
    // names the message's length only: a log-in message carries the password.
    bool WritePipe(const char* message);

    // The read loop, run on the calling thread: starts the message thread, reads and splits the
    // peer's stream until a read error or StopLoop, then stops the message thread and waits for the
    // message in progress. End-of-file
    // (no writer on the peer FIFO) is not an error: the loop looks again every second, so a peer
    // that reopens is served again, also when it has replaced its FIFO by a new one. While the
    // message queue is full (CMsgEngine::kMaxQueuedMessages) reading pauses for up to two seconds
    // per message; a message that still finds no room is dropped with a log line. Returns -1
    // when it ends.
    int LoopMsg();
    // Ends LoopMsg and any open still waiting for the peer, from any thread. Used for orderly
    // shut-down and by tests; the stop is final for this object.
    void StopLoop();
    // True once StopLoop has been called: a failed open then means "stopped", not "broken".
    bool IsStopping() const { return m_bStop.load(); }

    // Makes the process ignore SIGPIPE, so writes to a departed peer fail and are reported instead
    // of ending the process. Process-wide: meant for main(). Returns true on success.
    static bool IgnoreBrokenPipeSignal();

protected:
    void DoMessage(CAutoString message) override;

private:
    std::string PathOf(const char* name) const;
    // One attempt to open the FIFO at path with flags, without waiting for the other end; the
    // descriptor returned is blocking. -1 when it is not there yet (or, for writing, has no
    // reader yet) or StopLoop was called; -2 when something other than a FIFO of root or this
    // user, writable by nobody else, is at path (refused with a printed and a logged line).
    // With wait, the open waits for the other end instead (a writer's until a reader comes).
    // owner: the user the FIFO must belong to in a shared folder (CRuntimeFolder::kAnyOwner for
    // any member's).
    int OpenFifo(const std::string& path, int flags, uid_t owner, bool wait = false);
    // Empty when st (of path) is a FIFO this side may use, else why not.
    std::string RefusalOf(const struct stat& st, const std::string& path, uid_t owner) const;
    int OpenPeerForReading(const std::string& path);
    int OpenOwnForWriting();
    // The own FIFO opened for writing once a reader has it; -1 when refused or stopped.
    int WaitForReader();
    // Completes a writer's open that WaitForReader is waiting in (StopLoop).
    void ReleaseWaitingWriter();
    // Waits up to ms milliseconds or until StopLoop. True when stopped.
    bool WaitForStop(int ms);
    // At end-of-file: when the peer's FIFO name now leads to a different FIFO, reads from that one
    // instead. False when the loop should end (stopped while reopening).
    bool FollowReplacedPeer();
    // Splits freshly read bytes into messages and queues the complete ones.
    void Split(const char* data, size_t len);

    std::string m_folder;
    gid_t m_sharedGroup;
    // Whose FIFO the peer's must be in a shared folder: root's for the client, any member's for
    // the service. Set by the open call that names this side.
    uid_t m_peerOwner = 0;
    std::atomic<IPipeCallback*> m_pCallback{nullptr};
    int m_fdServer = -1;     // the own FIFO, written
    int m_fdClient = -1;     // the peer's FIFO, read
    std::string m_pipeName;  // own FIFO path; empty until CreateNamedPipeInServer
    std::atomic<bool> m_bIsopenPipe{false};
    MutexLock m_pipeLock;  // recursive; serialises writers and the creation step

    // Stop machinery: a flag and an eventfd that wakes the read loop and the retry waits.
    std::atomic<bool> m_bStop{false};
    int m_stopFd = -1;
    // A writer's open in progress and the read end StopLoop opened to end it; the opener closes
    // that read end once its open has returned.
    std::mutex m_openLock;
    std::string m_openingPath;  // guarded by m_openLock; empty while no writer's open waits
    int m_releaseFd = -1;       // guarded by m_openLock

    // Read-side state, touched only by the thread that opens the peer FIFO and runs LoopMsg.
    std::string m_peerPath;
    CPipeSplitter m_splitter{kMaxMessage};
};
