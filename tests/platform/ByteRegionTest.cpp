#include "Platform/Process/ByteRegion.hpp"

#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace Quillmark::Tests {
namespace {

using Platform::Process::ByteRegion;

// A region bounded above several commit steps, so that growth crosses step boundaries.
constexpr std::size_t Bound = 3 * ByteRegion::CommitStep + 12345;

TEST(ByteRegion, GrowsInPlaceKeepingWhatItHolds) {
    ByteRegion region(Bound);
    EXPECT_EQ(region.Committed(), 0u);

    // Pieces whose ends straddle the commit steps, each filled with its own pattern.
    const std::size_t pieces[] = {1, ByteRegion::CommitStep - 2, 3, ByteRegion::CommitStep, 7,
                                  Bound - 2 * ByteRegion::CommitStep - 9};
    std::vector<std::uint8_t> expected;
    const std::uint8_t* start = nullptr;
    for (std::size_t i = 0; i < std::size(pieces); ++i) {
        const auto added = region.Extend(pieces[i]);
        if (start == nullptr) start = added.data();
        // Earlier bytes never move: each piece follows the last one at the same address.
        ASSERT_EQ(added.data(), start + expected.size()) << i;
        std::memset(added.data(), static_cast<int>(i + 1), added.size());
        expected.insert(expected.end(), pieces[i], static_cast<std::uint8_t>(i + 1));
        ASSERT_GE(region.Committed(), region.Size());
        ASSERT_LE(region.Committed(), region.Size() + ByteRegion::CommitStep);
    }
    ASSERT_EQ(region.Size(), Bound);
    EXPECT_EQ(std::memcmp(region.Bytes().data(), expected.data(), expected.size()), 0);

    // Shortening keeps the memory and the bytes below the new end.
    const auto committed = region.Committed();
    region.Truncate(5);
    EXPECT_EQ(region.Size(), 5u);
    EXPECT_EQ(region.Committed(), committed);
    EXPECT_EQ(region.Extend(2).data(), start + 5);
    EXPECT_EQ(region.Bytes()[1], 2);
}

TEST(ByteRegion, RefusesGrowthPastItsBoundAndChangesNothing) {
    ByteRegion region(Bound);
    region.Extend(Bound - 10)[0] = 42;
    const auto committed = region.Committed();
    EXPECT_THROW(region.Extend(11), Platform::OutOfMemoryFailure);
    EXPECT_THROW(region.Extend(static_cast<std::size_t>(-1)), Platform::OutOfMemoryFailure);
    EXPECT_EQ(region.Size(), Bound - 10);
    EXPECT_EQ(region.Committed(), committed);
    EXPECT_EQ(region.Bytes()[0], 42);
    EXPECT_EQ(region.Extend(10).size(), 10u);

    ByteRegion empty;
    EXPECT_EQ(empty.Extend(0).size(), 0u);
    EXPECT_THROW(empty.Extend(1), Platform::OutOfMemoryFailure);
}

TEST(ByteRegion, ReleaseHandsTheMemoryBackAndTheRegionGrowsAgain) {
    const auto before = ByteRegion::CommittedInProcess();
    {
        ByteRegion region(Bound);
        const auto first = region.Extend(2 * ByteRegion::CommitStep + 1).data();
        std::memset(first, 0xAB, region.Size());
        EXPECT_EQ(ByteRegion::CommittedInProcess() - before, region.Committed());

        region.Release();
        EXPECT_EQ(region.Size(), 0u);
        EXPECT_EQ(region.Committed(), 0u);
        EXPECT_EQ(ByteRegion::CommittedInProcess(), before);

        // The same addresses again, usable again.
        const auto again = region.Extend(100);
        EXPECT_EQ(again.data(), first);
        std::iota(again.begin(), again.end(), std::uint8_t{0});
        EXPECT_EQ(region.Bytes()[99], 99);

        // A moved region takes its memory along; the one left behind is empty.
        ByteRegion moved(std::move(region));
        EXPECT_EQ(moved.Bytes().data(), first);
        EXPECT_EQ(region.Size(), 0u);
        EXPECT_EQ(region.Committed(), 0u);
        region = std::move(moved);
        EXPECT_EQ(region.Bytes()[99], 99);
    }
    EXPECT_EQ(ByteRegion::CommittedInProcess(), before);
}

// Memory committed ahead is the region's next bytes, handed out once; backing it changes no
// byte, whether written already or not.
TEST(ByteRegion, CommitsAheadWithoutGrowing) {
    ByteRegion region(Bound);
    const auto start = region.Extend(100);
    std::memset(start.data(), 0x77, start.size());
    const auto committed = region.Committed();
    const auto ahead = region.CommitAhead(committed + 1);
    EXPECT_EQ(region.Size(), 100u);
    ASSERT_FALSE(ahead.empty());
    EXPECT_EQ(ahead.data(), start.data() + committed);
    EXPECT_EQ(region.Committed(), committed + ahead.size());
    EXPECT_TRUE(region.CommitAhead(committed + 1).empty());
    // Never past the bound.
    region.CommitAhead(static_cast<std::size_t>(-1));
    EXPECT_LE(region.Committed(), Bound + ByteRegion::CommitStep);

    ByteRegion::Populate({start.data(), region.Committed()});
    EXPECT_EQ(start[99], 0x77);
    // The bytes backed ahead are the region's own: it grows into them.
    const auto more = region.Extend(committed);
    EXPECT_EQ(more.data(), start.data() + 100);
    std::memset(more.data(), 0x33, more.size());
    EXPECT_EQ(region.Bytes()[100 + committed - 1], 0x33);
}

// Dropping hands back whole pages only: bytes that share a page with bytes outside the range
// stay, and the dropped ones can be written again.
TEST(ByteRegion, DropKeepsTheBytesAroundTheDroppedPages) {
    ByteRegion region(Bound);
    const auto bytes = region.Extend(ByteRegion::CommitStep + 3);
    std::memset(bytes.data(), 0x5A, bytes.size());
    region.Drop(1, bytes.size() - 2);
    EXPECT_EQ(region.Size(), ByteRegion::CommitStep + 3);
    EXPECT_EQ(bytes.front(), 0x5A);
    EXPECT_EQ(bytes.back(), 0x5A);
    EXPECT_EQ(bytes[bytes.size() - 2], 0x5A);
    std::memset(bytes.data(), 0x11, bytes.size());
    EXPECT_EQ(bytes[ByteRegion::CommitStep / 2], 0x11);
    // Beyond the run, nothing is dropped.
    region.Truncate(10);
    region.Drop(0, Bound);
    EXPECT_EQ(region.Size(), 10u);
}

// A region bounded below one step commits page by page, and never past its bound.
TEST(ByteRegion, ASmallRegionCommitsAsLittleAsItCan) {
    constexpr std::size_t small = 1024 * 1024;
    ByteRegion region(small);
    region.Extend(1)[0] = 1;
    EXPECT_LE(region.Committed(), 64u * 1024);
    region.Extend(small - 1);
    EXPECT_EQ(region.Committed(), small);
}

}  // namespace
}  // namespace Quillmark::Tests
