// Length-prefixed messages over a socketpair: whole frames both ways, and every way a peer can
// get the framing wrong without making the reader allocate, block or die.
#include "CFrameChannel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

constexpr uint32_t kCap = 1u << 20;

class FrameChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
        near.reset(new CFrameChannel(sv[0], kCap));
        farFd = sv[1];
    }
    void TearDown() override {
        if (farFd >= 0)
            close(farFd);
    }
    // Raw bytes from the far end, as a misbehaving peer would write them.
    void raw(const std::string& bytes) {
        ASSERT_EQ(write(farFd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    static std::string header(uint32_t len) {
        return std::string{static_cast<char>(len & 0xff), static_cast<char>((len >> 8) & 0xff),
                           static_cast<char>((len >> 16) & 0xff),
                           static_cast<char>((len >> 24) & 0xff)};
    }

    std::unique_ptr<CFrameChannel> near;
    int farFd = -1;
};

TEST_F(FrameChannelTest, FramesArriveWholeWhateverTheirContentAndSize) {
    CFrameChannel far(farFd, kCap);
    farFd = -1;  // owned by far now
    const std::string binary("a\0b\r\n\xff", 6);
    const std::string big(kCap, 'z');  // larger than the socket buffer: needs a reader meanwhile
    std::thread echo([&] {
        std::string msg;
        while (far.Receive(msg, -1) == CFrameChannel::kOk)
            far.Send(msg, -1);
    });
    for (const std::string& payload : {std::string(), binary, big, std::string("last")}) {
        std::string got = "stale";
        ASSERT_EQ(near->Send(payload, 5000), CFrameChannel::kOk);
        ASSERT_EQ(near->Receive(got, 5000), CFrameChannel::kOk);
        EXPECT_EQ(got, payload);
    }
    near.reset();  // the echo thread sees the end of the stream
    echo.join();
}

TEST_F(FrameChannelTest, HostileLengthsAreRefusedBeforeAnythingIsRead) {
    std::string got;
    raw(header(0xffffffffu) + "tail");
    EXPECT_EQ(near->Receive(got, 1000), CFrameChannel::kTooLarge);
    EXPECT_TRUE(got.empty());
    char rest[8];
    EXPECT_EQ(read(near->fd(), rest, sizeof(rest)), 4) << "the payload was left unread";

    raw(header(kCap + 1));
    EXPECT_EQ(near->Receive(got, 1000), CFrameChannel::kTooLarge);
    // Exactly the cap is still a frame.
    std::thread writer([&] { raw(header(kCap) + std::string(kCap, 'c')); });
    EXPECT_EQ(near->Receive(got, 5000), CFrameChannel::kOk);
    writer.join();
    EXPECT_EQ(got.size(), kCap);
}

TEST_F(FrameChannelTest, CutShortSplitAndSilentPeers) {
    std::string got;
    // Header and payload trickling in byte by byte make one frame.
    std::thread trickle([&] {
        for (char c : header(3) + "abc") {
            raw(std::string(1, c));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    EXPECT_EQ(near->Receive(got, 5000), CFrameChannel::kOk);
    trickle.join();
    EXPECT_EQ(got, "abc");

    // A peer that says nothing: the limit holds, within reason.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(near->Receive(got, 100), CFrameChannel::kTimeout);
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_GE(spent, std::chrono::milliseconds(90));
    EXPECT_LT(spent, std::chrono::seconds(2));

    // A frame cut short by the peer's end.
    raw(header(10) + "abc");
    close(farFd);
    farFd = -1;
    EXPECT_EQ(near->Receive(got, 1000), CFrameChannel::kClosed);
    EXPECT_TRUE(got.empty());
}

TEST_F(FrameChannelTest, SendingToAGoneOrStuckPeerFailsWithoutASignal) {
    // Oversized payloads are refused before a byte is written.
    EXPECT_EQ(near->Send(std::string(kCap + 1, 'x'), 1000), CFrameChannel::kTooLarge);
    char probe;
    EXPECT_EQ(recv(farFd, &probe, 1, MSG_DONTWAIT), -1);
    // A peer that never reads: the socket buffer fills and the limit ends the send.
    EXPECT_EQ(near->Send(std::string(kCap, 'x'), 200), CFrameChannel::kTimeout);
    // A departed peer: an error, not SIGPIPE (which would end this test program).
    close(farFd);
    farFd = -1;
    EXPECT_EQ(near->Send("after", 1000), CFrameChannel::kClosed);
}

}  // namespace
