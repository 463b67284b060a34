// The bytes that the streams' buffers hold together, against one limit for
// the whole process. Each stream has caps of its own, but a host that stops
// taking frames stops every stream at once: in a 32-bit host with 2 GiB of
// address space, 256 streams at their caps would take it all. Buffers that
// grow under back-pressure (the RTP queue, the HTTP sender's read buffer, a
// snapshot's body) charge their bytes here first and give them back when they
// free them; a refused charge is handled as that buffer's overflow.
#pragma once

#include <atomic>
#include <cstddef>

namespace talvik {

class CMemoryBudget {
public:
    // An eighth of the 2 GiB a 32-bit host has: room for eight streams at the
    // RTP queue's 32 MiB cap, or a megabyte for each of 256 streams (a
    // 1080p key frame with a few seconds behind it), while the streams'
    // fixed costs and the host's own buffers keep the rest.
    static constexpr size_t kDefaultLimit = 256u << 20;

    explicit constexpr CMemoryBudget(size_t limit = kDefaultLimit) : limit_(limit) {}
    CMemoryBudget(const CMemoryBudget&) = delete;
    CMemoryBudget& operator=(const CMemoryBudget&) = delete;

    // The one every stream of the process shares.
    static CMemoryBudget& Process();

    // Takes bytes for a holder that already holds `held`, when they fit;
    // false, with nothing taken, otherwise. The last quarter of the limit is
    // kept for holders of less than a sixteenth: a few stalled streams fill
    // the rest, and the streams still moving keep room for their frames.
    bool TryCharge(size_t bytes, size_t held);
    // Takes bytes whatever the limit: for the little a buffer needs to move
    // at all, which the caller bounds.
    void ForceCharge(size_t bytes);
    void Release(size_t bytes);

    size_t Used() const { return used_.load(std::memory_order_relaxed); }
    size_t Limit() const { return limit_.load(std::memory_order_relaxed); }
    // Bytes already taken stay taken; only later charges see the new limit.
    void SetLimit(size_t limit) { limit_.store(limit, std::memory_order_relaxed); }

private:
    std::atomic<size_t> used_{0};
    std::atomic<size_t> limit_;
};

// One holder's bytes in a budget, given back at the latest when it goes.
class CBudgetCharge {
public:
    explicit CBudgetCharge(CMemoryBudget* budget = &CMemoryBudget::Process()) : budget_(budget) {}
    ~CBudgetCharge() { ReleaseAll(); }
    CBudgetCharge(const CBudgetCharge&) = delete;
    CBudgetCharge& operator=(const CBudgetCharge&) = delete;

    // Charges the budget for growing to `total` bytes (nothing when the
    // holder holds that much already); false when it is refused.
    bool GrowTo(size_t total);
    // The same, whatever the limit.
    void ForceGrowTo(size_t total);
    // Gives back what is held beyond total.
    void ShrinkTo(size_t total);
    void ReleaseAll() { ShrinkTo(0); }
    size_t Held() const { return held_; }
    const CMemoryBudget* Budget() const { return budget_; }
    // Releases what is held, then charges the new budget from now on.
    void SetBudget(CMemoryBudget* budget) {
        ReleaseAll();
        budget_ = budget;
    }

private:
    CMemoryBudget* budget_;
    size_t held_ = 0;
};

}  // namespace talvik
