#include "Platform/Process/OutputCapture.hpp"

#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using Quillmark::Platform::InvalidOperationFailure;
using Quillmark::Platform::Process::OutputCapture;

namespace {

// Feeds the text through the capture in reads of the given sizes, as a pipe hands it out; a
// read may fill less than the room it was given, and a room may be left unused.
struct Feed {
    std::string text;
    std::vector<std::size_t> askFor;  // room asked for per read, cycled
    std::vector<std::size_t> fill;    // bytes the read put there, at most the room, cycled
};

std::vector<std::uint8_t> Pour(OutputCapture& capture, const Feed& feed) {
    std::size_t at = 0;
    for (std::size_t turn = 0; at < feed.text.size(); ++turn) {
        const auto room = capture.Prepare(feed.askFor[turn % feed.askFor.size()]);
        const auto n = std::min({room.size(), feed.fill[turn % feed.fill.size()], feed.text.size() - at});
        std::copy_n(feed.text.begin() + static_cast<std::ptrdiff_t>(at), n, room.begin());
        capture.Commit(n);
        at += n;
    }
    return std::vector<std::uint8_t>(feed.text.begin(), feed.text.end());
}

std::string Alphabet(std::size_t length) {
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
    return text;
}

}  // namespace

TEST(OutputCapture, KeepsTheWholeOutputUpToTheBoundAndRefusesToPassAPartForIt) {
    constexpr std::size_t Limit = 100;
    const Feed feeds[] = {
        {"", {64}, {64}},
        {Alphabet(99), {64}, {64}},
        {Alphabet(100), {7}, {7}},
        {Alphabet(100), {64}, {0, 13, 64}},  // empty reads leave nothing behind
        {Alphabet(101), {64}, {64}},
        {Alphabet(101), {100}, {100, 1}},
        {Alphabet(5000), {64}, {3, 64, 17}},
    };
    for (const auto& feed : feeds) {
        OutputCapture capture(Limit);
        const auto all = Pour(capture, feed);
        const bool whole = feed.text.size() <= Limit;
        EXPECT_EQ(capture.Overflowed(), !whole) << feed.text.size();
        try {
            EXPECT_EQ(std::move(capture).TakeWhole("gui.exe", 3), all) << feed.text.size();
            EXPECT_TRUE(whole) << feed.text.size() << " bytes passed for the whole";
        } catch (const InvalidOperationFailure& failure) {
            EXPECT_FALSE(whole);
            EXPECT_EQ(failure.Message(), "Output of gui.exe exceeds 100 bytes; it ended with exit code 3");
        }
    }
}

TEST(OutputCapture, ABoundOfNothingDropsEverythingIntoOneScratchRoom) {
    OutputCapture sink(0);
    const auto first = sink.Prepare(4096);
    ASSERT_EQ(first.size(), 4096u);
    sink.Commit(4096);
    const auto second = sink.Prepare(1024);
    EXPECT_EQ(second.data(), first.data());
    EXPECT_TRUE(sink.Overflowed());
}
