// The runtime's tensor classes: CreateFromArray's validation and copy, the
// interfaces every tensor offers, and its byte buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "runtime_test_support.h"

namespace {

using namespace mlabi;
using namespace runtime_testing;

TEST(CreateFromArray, CopiesTheElementsIntoAlignedStorageOfItsOwn) {
    std::vector<float> source{1, 2, 3, 4, 5, 6};
    com_ptr<ITensorFloat> tensor;
    ASSERT_EQ(create_tensor<ITensorFloat>({2, 3}, 6, source.data(), tensor), S_OK);
    source[0] = 99;  // the tensor must not see it

    buffer_view view;
    ASSERT_EQ(view_buffer(tensor.get(), view), S_OK);
    EXPECT_EQ(view.capacity, 6 * sizeof(float));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(view.data) % 64, 0u);
    const auto* stored = reinterpret_cast<const float*>(view.data);
    EXPECT_EQ(std::vector<float>(stored, stored + 6), (std::vector<float>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(shape_of(tensor.get()), (std::vector<int64_t>{2, 3}));
}

TEST(CreateFromArray, TensorsOfferTheirKindAsTensorAndFeatureValue) {
    const int64_t data[] = {7};
    com_ptr<ITensorInt64Bit> tensor;
    ASSERT_EQ(create_tensor<ITensorInt64Bit>({}, 1, data, tensor), S_OK);
    TensorKind kind{};
    ASSERT_EQ(tensor->get_TensorKind(&kind), S_OK);
    EXPECT_EQ(kind, TensorKind::Int64);
    EXPECT_TRUE(shape_of(tensor.get()).empty());

    EXPECT_TRUE(tensor.try_as<ITensor>());
    EXPECT_TRUE(tensor.try_as<IAgileObject>());
    EXPECT_FALSE(tensor.try_as<ITensorFloat>());  // only its own typed interface
    EXPECT_FALSE(tensor.try_as<ITensorUInt64Bit>());
    auto value = tensor.try_as<ILearningModelFeatureValue>();
    ASSERT_TRUE(value);
    LearningModelFeatureKind feature{};
    ASSERT_EQ(value->get_Kind(&feature), S_OK);
    EXPECT_EQ(feature, LearningModelFeatureKind::Tensor);
}

TEST(CreateFromArray, Float16TensorsStoreRoundedHalves) {
    const float source[] = {1.0f, 65520.0f, 1.0f / 3, -2.0f};
    com_ptr<ITensorFloat16Bit> tensor;
    ASSERT_EQ(create_tensor<ITensorFloat16Bit>({4}, 4, source, tensor), S_OK);
    buffer_view view;
    ASSERT_EQ(view_buffer(tensor.get(), view), S_OK);
    ASSERT_EQ(view.capacity, 8u);
    const auto* halves = reinterpret_cast<const uint16_t*>(view.data);
    EXPECT_EQ(halves[0], 0x3C00);
    EXPECT_EQ(halves[1], 0x7C00);
    EXPECT_EQ(halves[2], 0x3555);
    EXPECT_EQ(halves[3], 0xC000);
}

TEST(CreateFromArray, EmptyTensorsStillHaveAnAddress) {
    com_ptr<ITensorDouble> tensor;
    ASSERT_EQ(create_tensor<ITensorDouble>({0, 5}, 0, nullptr, tensor), S_OK);
    buffer_view view;
    ASSERT_EQ(view_buffer(tensor.get(), view), S_OK);
    EXPECT_NE(view.data, nullptr);
    EXPECT_EQ(view.capacity, 0u);
}

TEST(CreateFromArray, RefusesShapesThatDoNotDescribeTheElements) {
    const uint8_t data[6] = {};
    struct bad_case {
        std::vector<int64_t> dims;
        uint32_t count;
    };
    const bad_case cases[] = {
        {{2, -3}, 6},                   // negative dimension
        {{-1}, 0},                      // negative even when nothing is copied
        {{2, 3}, 5},                    // too few elements
        {{2, 3}, 7},                    // too many
        {{}, 0},                        // a scalar has one element
        {{int64_t{1} << 32, int64_t{1} << 32}, 0},  // product wraps to 0 in 64 bits
        {{int64_t{1} << 62, 4, 3}, 0},
    };
    for (const bad_case& c : cases) {
        com_ptr<ITensorUInt8Bit> tensor;
        EXPECT_EQ(create_tensor<ITensorUInt8Bit>(c.dims, c.count, data, tensor), E_INVALIDARG);
        EXPECT_FALSE(tensor);
        EXPECT_FALSE(last_error_message().empty());
    }
    // A zero dimension empties the tensor however large the others are.
    com_ptr<ITensorUInt8Bit> empty;
    EXPECT_EQ(create_tensor<ITensorUInt8Bit>({int64_t{1} << 40, int64_t{1} << 40, 0}, 0, data, empty), S_OK);
}

TEST(CreateFromArray, NamesTheShapeInItsMessage) {
    const int32_t data[6] = {};
    com_ptr<ITensorInt32Bit> tensor;
    ASSERT_EQ(create_tensor<ITensorInt32Bit>({2, 3}, 4, data, tensor), E_INVALIDARG);
    EXPECT_NE(last_error_message().find("[2, 3]"), std::string::npos);
}

TEST(CreateFromArray, ReadsTheShapeOnceAndPassesOnItsFailures) {
    auto statics = runtime::make_tensor_factory<ITensorFloat>().try_as<ITensorStatics<ITensorFloat>>();
    ASSERT_TRUE(statics);
    const float data[6] = {};
    com_ptr<ITensorFloat> tensor;

    auto good = shape_iterable::make(std::vector<int64_t>{2, 3});
    ASSERT_EQ(statics->CreateFromArray(good.get(), 6, data, tensor.put()), S_OK);
    EXPECT_EQ(good->iterations, 1);

    auto closed = shape_iterable::make(std::vector<int64_t>{2, 3}, true);
    EXPECT_EQ(statics->CreateFromArray(closed.get(), 6, data, tensor.put()), E_ILLEGAL_METHOD_CALL);
    EXPECT_FALSE(tensor);

    auto breaks = shape_iterable::make(std::vector<int64_t>{2, 3}, false, 0);
    EXPECT_EQ(statics->CreateFromArray(breaks.get(), 6, data, tensor.put()), E_CHANGED_STATE);
    EXPECT_FALSE(tensor);

    EXPECT_EQ(statics->CreateFromArray(nullptr, 6, data, tensor.put()), E_POINTER);
    EXPECT_EQ(statics->CreateFromArray(good.get(), 6, nullptr, tensor.put()), E_POINTER);
    EXPECT_EQ(statics->CreateFromArray(good.get(), 6, data, nullptr), E_POINTER);
}

TEST(CreateFromArray, ReadsLongShapesAndIteratorsWithoutGetMany) {
    auto statics = runtime::make_tensor_factory<ITensorFloat>().try_as<ITensorStatics<ITensorFloat>>();
    ASSERT_TRUE(statics);
    const float data[6] = {};
    for (const auto& dims : {std::vector<int64_t>(16, 1), std::vector<int64_t>(40, 1), std::vector<int64_t>{2, 3}}) {
        const uint32_t count = dims.size() == 2 ? 6 : 1;
        for (bool one_at_a_time : {false, true}) {
            com_ptr<ITensorFloat> tensor;
            auto shape = shape_iterable::make(dims, false, -1, one_at_a_time);
            ASSERT_EQ(statics->CreateFromArray(shape.get(), count, data, tensor.put()), S_OK);
            EXPECT_EQ(shape_of(tensor.get()), dims);
        }
    }
}

TEST(CreateFromArray, RefusesAShapeThatNeverEnds) {
    std::vector<int64_t> dims(5000, 1);
    const float data[1] = {};
    com_ptr<ITensorFloat> tensor;
    EXPECT_EQ(create_tensor<ITensorFloat>(dims, 1, data, tensor), E_INVALIDARG);
}

TEST(TensorShape, TheViewKeepsTheTensorAliveAndAnswersAsItself) {
    const uint8_t data[6] = {};
    com_ptr<ITensorUInt8Bit> tensor;
    ASSERT_EQ(create_tensor<ITensorUInt8Bit>({2, 3}, 6, data, tensor), S_OK);
    com_ptr<IVectorView<int64_t>> view;
    ASSERT_EQ(tensor->get_Shape(view.put()), S_OK);
    tensor = nullptr;
    uint32_t size = 0;
    int64_t last = 0;
    ASSERT_EQ(view->get_Size(&size), S_OK);
    ASSERT_EQ(view->GetAt(1, &last), S_OK);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(last, 3);
    EXPECT_EQ(view->GetAt(2, &last), E_BOUNDS);
    auto same = view.try_as<IVectorView<int64_t>>();
    EXPECT_EQ(same.get(), view.get());
    EXPECT_FALSE(view.try_as<ITensor>());  // a view, not the tensor
}

TEST(TensorBuffer, AReferenceKeepsTheStorageAlive) {
    const uint16_t data[] = {1, 2, 3};
    com_ptr<ITensorUInt16Bit> tensor;
    ASSERT_EQ(create_tensor<ITensorUInt16Bit>({3}, 3, data, tensor), S_OK);
    buffer_view view;
    ASSERT_EQ(view_buffer(tensor.get(), view), S_OK);
    tensor = nullptr;
    const auto* stored = reinterpret_cast<const uint16_t*>(view.data);
    EXPECT_EQ(stored[2], 3);  // still readable (and clean under sanitizers)
    uint32_t capacity = 0;
    ASSERT_EQ(view.reference->get_Capacity(&capacity), S_OK);
    EXPECT_EQ(capacity, 6u);
}

TEST(TensorFactory, IsOneAgileObjectPerClass) {
    auto first = runtime::make_tensor_factory<ITensorInt8Bit>();
    auto second = runtime::make_tensor_factory<ITensorInt8Bit>();
    EXPECT_EQ(first.get(), second.get());
    EXPECT_TRUE(first.try_as<IAgileObject>());
    EXPECT_NE(static_cast<void*>(first.get()), static_cast<void*>(runtime::make_tensor_factory<ITensorUInt8Bit>().get()));
    EXPECT_FALSE(first.try_as<ITensorStatics<ITensorUInt8Bit>>());
}

}  // namespace
