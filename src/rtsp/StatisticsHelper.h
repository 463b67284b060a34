// Sliding window of the last values with their running sum, for means over a
// stream of RTP and clock steps.
#pragma once

#include <cstddef>
#include <deque>

namespace talvik {

template <typename T>
class TStatisticsHelper {
public:
    static constexpr size_t kWindow = 1000;

    void Add(T value) {
        while (values_.size() >= kWindow) {
            sum_ -= double(values_.front());
            values_.pop_front();
        }
        values_.push_back(value);
        sum_ += double(value);
    }
    void Clear() {
        values_.clear();
        sum_ = 0;
    }
    size_t Count() const { return values_.size(); }
    double Sum() const { return sum_; }
    double Mean() const { return values_.empty() ? 0.0 : sum_ / double(values_.size()); }

private:
    std::deque<T> values_;
    double sum_ = 0;
};

}  // namespace talvik
