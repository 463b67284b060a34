#include "base/MemoryBudget.h"

namespace talvik {

CMemoryBudget& CMemoryBudget::Process() {
    // Set up before any code runs and with nothing to destroy: a thread
    // released at a stop may give bytes back while the module unloads.
    static CMemoryBudget budget;
    return budget;
}

bool CMemoryBudget::TryCharge(size_t bytes, size_t held) {
    size_t limit = Limit();
    if (held >= limit / 16) limit -= limit / 4;
    size_t used = used_.load(std::memory_order_relaxed);
    do {
        if (bytes > limit || used > limit - bytes) return false;
    } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    return true;
}

void CMemoryBudget::ForceCharge(size_t bytes) {
    used_.fetch_add(bytes, std::memory_order_relaxed);
}

void CMemoryBudget::Release(size_t bytes) {
    used_.fetch_sub(bytes, std::memory_order_relaxed);
}

bool CBudgetCharge::GrowTo(size_t total) {
    if (total <= held_) return true;
    if (!budget_->TryCharge(total - held_, held_)) return false;
    held_ = total;
    return true;
}

void CBudgetCharge::ForceGrowTo(size_t total) {
    if (total <= held_) return;
    budget_->ForceCharge(total - held_);
    held_ = total;
}

void CBudgetCharge::ShrinkTo(size_t total) {
    if (total >= held_) return;
    budget_->Release(held_ - total);
    held_ = total;
}

}  // namespace talvik
