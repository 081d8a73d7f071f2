#include "tensor/tensor_bytes.h"

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform_error.h"

namespace qelmo {
using namespace mlabi;
using platform::check_status;

size_t bytes_needed(const std::vector<int64_t>& shape, size_t element_size) {
    size_t count = 1;
    bool overflow = false;
    bool empty = false;
    for (int64_t dimension : shape) {
        if (dimension < 0) throw std::invalid_argument("negative dimensions are not allowed");
        if (dimension == 0) empty = true;
        if (empty || overflow) continue;
        const auto extent = static_cast<uint64_t>(dimension);
        if (extent > SIZE_MAX / element_size / count) overflow = true;
        else count *= static_cast<size_t>(extent);
    }
    if (empty) return 0;
    if (overflow) throw std::runtime_error("output tensor's shape describes more elements than memory can hold");
    return count * element_size;
}

tensor_bytes::tensor_bytes(ITensor* tensor) {
    com_ptr<IMemoryBuffer> buffer;
    check_status(com_ptr<ITensor>::copy_from(tensor).as(buffer));
    check_status(buffer->CreateReference(reference_.put()));
    check_status(reference_.as(access_));
    check_status(access_->GetBuffer(&data_, &capacity_));
    if (data_ == nullptr) capacity_ = 0;
}

const uint8_t* tensor_bytes::read(size_t size) const {
    if (size > capacity_) {
        throw std::runtime_error("output tensor's buffer holds " + std::to_string(capacity_) + " bytes, fewer than the " +
                                 std::to_string(size) + " its shape needs");
    }
    return data_;
}

}  // namespace qelmo
