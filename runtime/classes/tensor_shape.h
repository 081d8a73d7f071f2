// A tensor's dimensions. Up to eight are kept in the object itself, so that
// the tensors made for every input and output of every evaluation need no
// allocation for their shape; longer shapes go to the heap.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace runtime {

class tensor_shape {
public:
    tensor_shape() = default;
    tensor_shape(const tensor_shape&) = delete;
    tensor_shape& operator=(const tensor_shape&) = delete;
    tensor_shape(tensor_shape&& other) noexcept { *this = std::move(other); }
    tensor_shape& operator=(tensor_shape&& other) noexcept {
        if (this != &other) {
            size_ = other.size_;
            more_ = std::move(other.more_);
            std::copy_n(other.inline_, std::min(size_, inline_rank), inline_);
            other.size_ = 0;
            other.more_.clear();
        }
        return *this;
    }

    // Throws std::bad_alloc.
    void append(const int64_t* dims, size_t count) {
        if (size_ + count > inline_rank && more_.empty()) more_.assign(inline_, inline_ + size_);
        if (!more_.empty() || size_ + count > inline_rank) more_.insert(more_.end(), dims, dims + count);
        else std::copy_n(dims, count, inline_ + size_);
        size_ += count;
    }
    void push_back(int64_t dim) { append(&dim, 1); }
    // Grows or shrinks to `count` dimensions; new ones are 0. Throws std::bad_alloc.
    void resize(size_t count) {
        if (count > inline_rank) {
            if (more_.empty()) more_.assign(inline_, inline_ + std::min(size_, inline_rank));
            more_.resize(count);
        } else {
            if (!more_.empty()) std::copy_n(more_.begin(), count, inline_);
            more_.clear();
            if (count > size_) std::fill(inline_ + size_, inline_ + count, 0);
        }
        size_ = count;
    }

    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const int64_t* data() const noexcept { return size_ > inline_rank ? more_.data() : inline_; }
    int64_t* data() noexcept { return size_ > inline_rank ? more_.data() : inline_; }
    int64_t operator[](size_t index) const noexcept { return data()[index]; }
    const int64_t* begin() const noexcept { return data(); }
    const int64_t* end() const noexcept { return data() + size_; }
    std::vector<int64_t> to_vector() const { return std::vector<int64_t>(begin(), end()); }

private:
    static constexpr size_t inline_rank = 8;

    size_t size_ = 0;
    int64_t inline_[inline_rank] = {};
    std::vector<int64_t> more_;  // all dimensions, when there are more than inline_rank
};

// "[2, 3]"; negative (free) dimensions print as "?".
std::string shape_text(const int64_t* dims, size_t rank);
inline std::string shape_text(const std::vector<int64_t>& shape) { return shape_text(shape.data(), shape.size()); }
inline std::string shape_text(const tensor_shape& shape) { return shape_text(shape.data(), shape.size()); }

}  // namespace runtime
