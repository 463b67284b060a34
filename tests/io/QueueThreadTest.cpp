#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <vector>

#include "io/IOBase.h"
#include "io/IoFakes.h"
#include "support/Threads.h"

namespace {

using talvik::COutputState;

// Records the indexes it applies; throws for index 13.
class RecordingQueue : public talvik::CQueueThread<COutputState> {
public:
    RecordingQueue() : CQueueThread(nullptr) {}
    ~RecordingQueue() override { JoinThread(5000); }

    std::vector<uint32_t> Applied() {
        std::lock_guard<std::mutex> guard(mutex_);
        return applied_;
    }

protected:
    void OnItem(COutputState* item) override {
        if (item->index == 13) throw std::runtime_error("bad item");
        std::lock_guard<std::mutex> guard(mutex_);
        applied_.push_back(item->index);
    }

private:
    std::mutex mutex_;
    std::vector<uint32_t> applied_;
};

// Items queued before the start wait for it; an item that throws does not
// end the worker; a stopped queue refuses and holds nothing.
TEST(QueueThread, ItemsWaitForStartSurviveAThrowAndStopRefuses) {
    RecordingQueue queue;
    ASSERT_TRUE(queue.QueueItem(std::make_unique<COutputState>(7, 2)));
    EXPECT_EQ(queue.QueuedCount(), 1u);
    ASSERT_TRUE(queue.StartQueue("test queue"));
    for (uint32_t index : {1u, 13u, 2u})
        ASSERT_TRUE(queue.QueueItem(std::make_unique<COutputState>(index, 2)));
    ASSERT_TRUE(talvik_test::WaitUntil([&] { return queue.Applied().size() == 3; }));
    EXPECT_EQ(queue.Applied(), (std::vector<uint32_t>{7, 1, 2}));
    EXPECT_TRUE(queue.StopQueue(5000));
    EXPECT_FALSE(queue.QueueItem(std::make_unique<COutputState>(9, 2)));
    EXPECT_EQ(queue.QueuedCount(), 0u);
}

}  // namespace
