#pragma once
// A vector of trivially copyable values that keeps up to N of them inline: a gate's qubits,
// controls and angles fit without touching the heap, which matters when circuits of tiny
// gates are built by the thousand. Longer lists (a wide barrier, many controls) spill.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <vector>

namespace kestrix {

template <class T, uint32_t N>
class SmallVector {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    SmallVector() = default;
    SmallVector(std::initializer_list<T> values) { append(values.begin(), values.end()); }
    SmallVector(const std::vector<T>& values) {
        append(values.data(), values.data() + values.size());
    }
    SmallVector(const SmallVector& other) { append(other.begin(), other.end()); }
    SmallVector(SmallVector&& other) noexcept { take(other); }
    ~SmallVector() { delete[] heap_; }

    SmallVector& operator=(const SmallVector& other) {
        if (this != &other) {
            size_ = 0;
            append(other.begin(), other.end());
        }
        return *this;
    }
    SmallVector& operator=(SmallVector&& other) noexcept {
        if (this != &other) {
            delete[] heap_;
            heap_ = nullptr;
            capacity_ = N;
            take(other);
        }
        return *this;
    }

    T* data() { return heap_ ? heap_ : inline_; }
    const T* data() const { return heap_ ? heap_ : inline_; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return data()[i]; }
    const T& operator[](size_t i) const { return data()[i]; }

    void push_back(T value) {
        reserve(size_ + 1);
        data()[size_++] = value;
    }
    void pop_back() { --size_; }
    template <class It>
    void append(It first, It last) {
        reserve(size_ + uint32_t(std::distance(first, last)));
        std::copy(first, last, data() + size_);
        size_ += uint32_t(std::distance(first, last));
    }
    std::vector<T> to_vector() const { return std::vector<T>(begin(), end()); }

    friend bool operator==(const SmallVector& a, const SmallVector& b) {
        return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
    }

  private:
    void reserve(uint32_t wanted) {
        if (wanted <= capacity_) return;
        const uint32_t capacity = std::max(wanted, 2 * capacity_);
        T* grown = new T[capacity];
        std::copy(begin(), end(), grown);
        delete[] heap_;
        heap_ = grown;
        capacity_ = capacity;
    }
    void take(SmallVector& other) {
        if (other.heap_) {
            heap_ = other.heap_;
            capacity_ = other.capacity_;
            other.heap_ = nullptr;
            other.capacity_ = N;
        } else {
            std::copy(other.inline_, other.inline_ + other.size_, inline_);
        }
        size_ = other.size_;
        other.size_ = 0;
    }

    T* heap_ = nullptr;
    uint32_t size_ = 0;
    uint32_t capacity_ = N;
    T inline_[N];
};

}  // namespace kestrix
