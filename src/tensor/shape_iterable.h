// The shape handed to a tensor factory: an IIterable<int64_t> the module
// implements itself. It is valid only while the factory call runs; once
// closed, starting or continuing an iteration answers E_ILLEGAL_METHOD_CALL.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "abi/collections.h"
#include "abi_support/com_object.h"

namespace qelmo {

class ShapeIterable final : public mlabi::com_object<ShapeIterable, mlabi::IIterable<int64_t>> {
public:
    // A new iterable over a copy of `rank` dimensions with one reference,
    // owned by the result; throws std::bad_alloc.
    static mlabi::com_ptr<ShapeIterable> make(const int64_t* dimensions, size_t rank);
    static mlabi::com_ptr<ShapeIterable> make(const std::vector<int64_t>& dimensions) {
        return make(dimensions.data(), dimensions.size());
    }

    mlabi::HRESULT First(mlabi::IIterator<int64_t>** first) override;

    // Ends the iterable's validity; iterators already handed out stop too.
    void close() noexcept { closed_.store(true, std::memory_order_release); }
    bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }

    const int64_t* dimensions() const noexcept { return dimensions_; }
    size_t rank() const noexcept { return rank_; }

private:
    friend class mlabi::com_object<ShapeIterable, mlabi::IIterable<int64_t>>;
    ShapeIterable(const int64_t* dimensions, size_t rank);

    // Shapes of up to this rank, nearly all, are kept in the object itself:
    // one is made for every input of every evaluation.
    static constexpr size_t inline_rank = 8;

    std::atomic<bool> closed_{false};
    size_t rank_;
    int64_t inline_dimensions_[inline_rank];
    std::vector<int64_t> more_dimensions_;
    const int64_t* dimensions_;
};

// Closes the iterable when the factory call is over, on every path.
class ShapeIterableCloser {
public:
    explicit ShapeIterableCloser(ShapeIterable* iterable) noexcept : iterable_(iterable) {}
    ~ShapeIterableCloser() { iterable_->close(); }
    ShapeIterableCloser(const ShapeIterableCloser&) = delete;
    ShapeIterableCloser& operator=(const ShapeIterableCloser&) = delete;

private:
    ShapeIterable* iterable_;
};

}  // namespace qelmo
