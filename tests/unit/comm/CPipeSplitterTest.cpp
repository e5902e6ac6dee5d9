// The pipe read splitter fed directly: every way of cutting a stream into two reads gives the same
// messages, and the oversize and reset paths leave it ready for the next message.
#include "CPipeSplitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Collect {
public:
    CPipeSplitter::Deliver Sink() {
        return [this](CAutoString m) { got.emplace_back(m.c_str(), m.GetLength()); };
    }
    std::vector<std::string> got;
};

TEST(CPipeSplitter, EveryCutOfAStreamGivesTheSameMessages) {
    const std::string stream("<a/>\0\0<bb>x</bb>\0tail", 21);
    const std::vector<std::string> expected = {"<a/>", "", "<bb>x</bb>"};
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        CPipeSplitter splitter(64);
        Collect out;
        splitter.Feed(stream.data(), cut, out.Sink());
        splitter.Feed(stream.data() + cut, stream.size() - cut, out.Sink());
        EXPECT_EQ(expected, out.got) << "cut at " << cut;
        EXPECT_EQ(4u, splitter.Pending()) << "cut at " << cut;
    }
}

TEST(CPipeSplitter, OversizeHeldBytesAreDroppedUpToTheirTerminatorAndResetForgetsAll) {
    CPipeSplitter splitter(8);
    Collect out;
    splitter.Feed("0123456789", 10, out.Sink());
    EXPECT_TRUE(splitter.IsDiscarding());
    EXPECT_EQ(0u, splitter.Pending());
    splitter.Feed("more\0ok\0part", 12, out.Sink());
    EXPECT_EQ(std::vector<std::string>{"ok"}, out.got);
    EXPECT_EQ(4u, splitter.Reset());
    EXPECT_EQ(0u, splitter.Pending());

    // A reset in the middle of dropping puts the splitter back in step at once.
    splitter.Feed("0123456789", 10, out.Sink());
    splitter.Reset();
    EXPECT_FALSE(splitter.IsDiscarding());
    splitter.Feed("next\0", 5, out.Sink());
    EXPECT_EQ((std::vector<std::string>{"ok", "next"}), out.got);
}

}  // namespace
