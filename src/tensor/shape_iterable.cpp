#include "tensor/shape_iterable.h"

#include <algorithm>
#include <new>

namespace qelmo {
using namespace mlabi;

namespace {

// Walks the dimensions of one iterable; keeps the iterable (and with it the
// dimensions) alive for as long as the iterator lives.
class ShapeIterator final : public com_object<ShapeIterator, IIterator<int64_t>> {
public:
    explicit ShapeIterator(com_ptr<ShapeIterable> iterable) noexcept : iterable_(std::move(iterable)) {}

    HRESULT get_Current(int64_t* current) override {
        if (current == nullptr) return E_POINTER;
        if (iterable_->closed()) return E_ILLEGAL_METHOD_CALL;
        if (position_ >= iterable_->rank()) return E_BOUNDS;
        *current = iterable_->dimensions()[position_];
        return S_OK;
    }
    HRESULT get_HasCurrent(bool* has_current) override {
        if (has_current == nullptr) return E_POINTER;
        if (iterable_->closed()) return E_ILLEGAL_METHOD_CALL;
        *has_current = position_ < iterable_->rank();
        return S_OK;
    }
    HRESULT MoveNext(bool* has_current) override {
        if (has_current == nullptr) return E_POINTER;
        if (iterable_->closed()) return E_ILLEGAL_METHOD_CALL;
        const size_t size = iterable_->rank();
        if (position_ < size) ++position_;
        *has_current = position_ < size;
        return S_OK;
    }
    HRESULT GetMany(uint32_t capacity, int64_t* items, uint32_t* actual) override {
        if (actual == nullptr || (items == nullptr && capacity != 0)) return E_POINTER;
        *actual = 0;
        if (iterable_->closed()) return E_ILLEGAL_METHOD_CALL;
        const size_t rank = iterable_->rank();
        const size_t available = rank - std::min(position_, rank);
        const size_t count = std::min<size_t>(capacity, available);
        std::copy_n(iterable_->dimensions() + position_, count, items);
        position_ += count;
        *actual = static_cast<uint32_t>(count);
        return S_OK;
    }

private:
    com_ptr<ShapeIterable> iterable_;
    size_t position_ = 0;
};

}  // namespace

ShapeIterable::ShapeIterable(const int64_t* dimensions, size_t rank) : rank_(rank) {
    if (rank <= inline_rank) {
        std::copy_n(dimensions, rank, inline_dimensions_);
        dimensions_ = inline_dimensions_;
    } else {
        more_dimensions_.assign(dimensions, dimensions + rank);
        dimensions_ = more_dimensions_.data();
    }
}

com_ptr<ShapeIterable> ShapeIterable::make(const int64_t* dimensions, size_t rank) {
    com_ptr<ShapeIterable> made = com_object::make(dimensions, rank);
    if (!made) throw std::bad_alloc();
    return made;
}

HRESULT ShapeIterable::First(IIterator<int64_t>** first) {
    if (first == nullptr) return E_POINTER;
    *first = nullptr;
    if (closed()) return E_ILLEGAL_METHOD_CALL;
    com_ptr<ShapeIterator> iterator = ShapeIterator::make(com_ptr<ShapeIterable>::copy_from(this));
    if (!iterator) return E_OUTOFMEMORY;
    *first = iterator.detach();
    return S_OK;
}

}  // namespace qelmo
