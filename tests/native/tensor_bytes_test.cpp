// Reading an output tensor's storage never goes past the capacity the
// buffer reports, and shapes are sized without overflow.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "com/boundary.h"
#include "platform_error.h"
#include "tensor/tensor_bytes.h"

namespace {
using namespace mlabi;
using qelmo::bytes_needed;
using qelmo::tensor_bytes;

class FakeReference : public mlabi::com_object<FakeReference, IMemoryBufferReference, IMemoryBufferByteAccess> {
public:
    FakeReference(uint8_t* data, uint32_t capacity) : data_(data), capacity_(capacity) {}
    HRESULT get_Capacity(uint32_t* capacity) override {
        *capacity = capacity_;
        return S_OK;
    }
    HRESULT GetBuffer(uint8_t** value, uint32_t* capacity) override {
        *value = data_;
        *capacity = capacity_;
        return S_OK;
    }

private:
    uint8_t* data_;
    uint32_t capacity_;
};

// A float tensor whose buffer reports `capacity` bytes, or that offers no
// buffer at all.
class FakeTensor : public mlabi::com_object<FakeTensor, ITensorFloat, IMemoryBuffer> {
public:
    FakeTensor(uint32_t capacity, bool has_buffer) : bytes_(capacity, 0xAB), has_buffer_(has_buffer) {}
    HRESULT get_TensorKind(TensorKind* kind) override {
        *kind = TensorKind::Float;
        return S_OK;
    }
    HRESULT get_Shape(IVectorView<int64_t>**) override { return E_NOTIMPL; }
    HRESULT CreateReference(IMemoryBufferReference** reference) override {
        if (!has_buffer_) return E_FAIL;
        *reference = FakeReference::make(bytes_.data(), static_cast<uint32_t>(bytes_.size())).detach();
        return S_OK;
    }

    std::vector<uint8_t> bytes_;
    bool has_buffer_;
};

TEST(TensorBytes, ReadsWithinTheCapacity) {
    auto tensor = FakeTensor::make(12u, true);
    const tensor_bytes storage(tensor.get());
    EXPECT_EQ(storage.read(12), tensor->bytes_.data());
    EXPECT_EQ(storage.read(0), tensor->bytes_.data());
}

TEST(TensorBytes, RefusesToReadPastTheCapacity) {
    auto tensor = FakeTensor::make(12u, true);
    const tensor_bytes storage(tensor.get());
    try {
        storage.read(16);
        FAIL() << "a short buffer was read";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "output tensor's buffer holds 12 bytes, fewer than the 16 its shape needs");
    }
}

TEST(TensorBytes, ReleasesTheReferenceWhenDone) {
    auto tensor = FakeTensor::make(4u, true);
    { const tensor_bytes storage(tensor.get()); }
    EXPECT_EQ(tensor->AddRef(), 2u);
    tensor->Release();
}

TEST(TensorBytes, MissingBufferIsAPlatformError) {
    auto tensor = FakeTensor::make(4u, false);
    EXPECT_THROW(tensor_bytes{tensor.get()}, qelmo::platform::hresult_error);
}

TEST(BytesNeeded, ProductOfTheExtents) {
    EXPECT_EQ(bytes_needed({}, 4), 4u);  // 0-d: one element
    EXPECT_EQ(bytes_needed({2, 3}, 8), 48u);
    EXPECT_EQ(bytes_needed({7, 0, 5}, 2), 0u);
}

TEST(BytesNeeded, ZeroExtentWinsOverAnOverflowingProduct) {
    EXPECT_EQ(bytes_needed({INT64_MAX, INT64_MAX, 0}, 4), 0u);
}

TEST(BytesNeeded, OverflowIsRefused) {
    EXPECT_THROW(bytes_needed({INT64_MAX, 3}, 1), std::runtime_error);
    EXPECT_THROW(bytes_needed({int64_t{1} << 62}, 8), std::runtime_error);
}

TEST(BytesNeeded, NegativeExtentIsRefused) {
    EXPECT_THROW(bytes_needed({3, -1}, 4), std::invalid_argument);
    EXPECT_THROW(bytes_needed({0, -1}, 4), std::invalid_argument);
}

}  // namespace
