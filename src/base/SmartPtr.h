// Reference-counted pointer for objects shared between threads whose lifetime
// neither side controls (a channel's media parser, a receiver's UDP client).
// The count lives in a separately allocated signed 8-bit counter; a new
// reference is only taken while the object is alive (count above 0), and the
// last release deletes the object through its virtual destructor.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

namespace talvik {

template <typename T>
class TSmartPtr {
public:
    TSmartPtr() = default;
    // Takes ownership of a fresh object (count 1). On allocation failure the
    // object is deleted and the pointer stays empty.
    explicit TSmartPtr(T* object) { Adopt(object); }
    TSmartPtr(const TSmartPtr& other) { Acquire(other); }
    TSmartPtr(TSmartPtr&& other) noexcept
        : counter_(std::exchange(other.counter_, nullptr)),
          object_(std::exchange(other.object_, nullptr)) {}
    ~TSmartPtr() { Release(); }

    TSmartPtr& operator=(const TSmartPtr& other) {
        if (this != &other) {
            TSmartPtr copy(other);
            Swap(copy);
        }
        return *this;
    }
    TSmartPtr& operator=(TSmartPtr&& other) noexcept {
        if (this != &other) {
            Release();
            counter_ = std::exchange(other.counter_, nullptr);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    // Replaces the held object with a fresh one (count 1).
    void Reset(T* object = nullptr) {
        Release();
        Adopt(object);
    }

    T* Get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }
    int UseCount() const { return counter_ ? counter_->load() : 0; }

private:
    void Swap(TSmartPtr& other) noexcept {
        std::swap(counter_, other.counter_);
        std::swap(object_, other.object_);
    }

    void Adopt(T* object) {
        if (object == nullptr) return;
        counter_ = new (std::nothrow) std::atomic<int8_t>(1);
        if (counter_ == nullptr) {
            delete object;
            return;
        }
        object_ = object;
    }

    void Acquire(const TSmartPtr& other) {
        std::atomic<int8_t>* counter = other.counter_;
        if (counter == nullptr) return;
        // Only while alive, and never past the counter's range.
        int8_t seen = counter->load();
        while (seen > 0 && seen < INT8_MAX) {
            if (counter->compare_exchange_weak(seen, static_cast<int8_t>(seen + 1))) {
                counter_ = counter;
                object_ = other.object_;
                return;
            }
        }
    }

    void Release() {
        std::atomic<int8_t>* counter = std::exchange(counter_, nullptr);
        T* object = std::exchange(object_, nullptr);
        if (counter == nullptr) return;
        if (counter->fetch_sub(1) == 1) {
            delete object;
            delete counter;
        }
    }

    std::atomic<int8_t>* counter_ = nullptr;
    T* object_ = nullptr;
};

}  // namespace talvik
