#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "HostObjects.h"

namespace {

using talvik_host::HostFrameAllocator;

// A reused buffer must fit the new frame and must not be one that wastes
// much more than the frame needs; either way the frame reports the size asked
// for, never the buffer's capacity.
TEST(FramePool, ReusesOnlyBuffersThatFit) {
    constexpr uint32_t kStep = HostFrameAllocator::kSizeStep;
    const struct {
        uint32_t first;   // size of a frame created and released
        uint32_t second;  // size asked for next
        bool reused;      // the second frame gets the first one's buffer
    } cases[] = {{40000, 40000, true},
                 {40000, 1000, true},
                 {40000, kStep, true},
                 {40000, kStep + 1, false},
                 {10 * kStep, 4 * kStep - 1, false},
                 {10 * kStep, 5 * kStep, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second));
        HostFrameAllocator allocator;
        talvik::IHostFrame* first = allocator.CreateFrame(1, c.first, "s");
        ASSERT_NE(first, nullptr);
        const uint8_t* firstBuffer = first->GetBuffer();
        allocator.ReleaseFrame(first);
        talvik::IHostFrame* second = allocator.CreateFrame(2, c.second, "t");
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(c.reused, second->GetBuffer() == firstBuffer);
        EXPECT_EQ(second->GetBufferSize(), c.second);
        second->SetDataSize(c.second + 1000);
        EXPECT_EQ(second->GetDataSize(), c.second);
        allocator.ReleaseFrame(second);
        EXPECT_EQ(allocator.Created(), 2u);
        EXPECT_EQ(allocator.Released(), 2u);
    }
}

// A frame fills its whole size; a buffer handed on keeps no claim on the old
// frame, and the pool never grows past its bound.
TEST(FramePool, BoundedAndEveryBufferWritable) {
    HostFrameAllocator allocator;
    std::vector<talvik::IHostFrame*> frames(HostFrameAllocator::kPoolBuffers + 4);
    std::set<const uint8_t*> buffers;
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < frames.size(); ++i) {
            frames[i] = allocator.CreateFrame(1, 30000, "s");
            ASSERT_NE(frames[i], nullptr);
            std::fill_n(frames[i]->GetBuffer(), 30000, uint8_t(i));
            if (round == 1) buffers.insert(frames[i]->GetBuffer());
        }
        for (talvik::IHostFrame* f : frames)
            allocator.ReleaseFrame(f);
    }
    EXPECT_EQ(buffers.size(), frames.size()) << "a buffer given twice";
    EXPECT_EQ(allocator.CreateFrame(1, HostFrameAllocator::kMaxFrameBytes + 1, "s"), nullptr);
}

}  // namespace
