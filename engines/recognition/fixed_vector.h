// A vector whose storage is a fixed array inside its owner: the engine never allocates working memory.
#pragma once

#include <stddef.h>

#include <utility>

namespace DurodudUrodera::FpRecEngineImpl {

template <class T, size_t N>
class fixed_vector {
public:
    static constexpr size_t capacity() { return N; }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == N; }
    void clear() { count_ = 0; }
    // Callers check full() first; a push past capacity is dropped rather than overrunning the owner.
    void push_back(const T& v) {
        if (count_ < N) items_[count_++] = v;
    }
    void pop_back() { --count_; }
    void resize(size_t n) { count_ = n <= N ? n : N; }
    T& operator[](size_t i) { return items_[i]; }
    const T& operator[](size_t i) const { return items_[i]; }
    T& front() { return items_[0]; }
    T& back() { return items_[count_ - 1]; }
    const T& front() const { return items_[0]; }
    T* begin() { return items_; }
    T* end() { return items_ + count_; }
    const T* begin() const { return items_; }
    const T* end() const { return items_ + count_; }
    T* data() { return items_; }

private:
    T items_[N];
    size_t count_ = 0;
};

}  // namespace DurodudUrodera::FpRecEngineImpl
