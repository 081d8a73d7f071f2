// The shape the module hands to tensor factories: iteration while open, and
// nothing once the factory call is over.
#include <gtest/gtest.h>

#include <vector>

#include "tensor/shape_iterable.h"

namespace {
using namespace mlabi;
using qelmo::ShapeIterable;

std::vector<int64_t> drain(IIterator<int64_t>* iterator) {
    std::vector<int64_t> seen;
    bool has_current = false;
    EXPECT_EQ(iterator->get_HasCurrent(&has_current), S_OK);
    while (has_current) {
        int64_t value = 0;
        EXPECT_EQ(iterator->get_Current(&value), S_OK);
        seen.push_back(value);
        EXPECT_EQ(iterator->MoveNext(&has_current), S_OK);
    }
    return seen;
}

TEST(ShapeIterable, IteratesTheDimensionsInOrder) {
    auto shape = ShapeIterable::make({2, 0, 7});
    com_ptr<IIterator<int64_t>> first;
    ASSERT_EQ(shape->First(first.put()), S_OK);
    EXPECT_EQ(drain(first.get()), (std::vector<int64_t>{2, 0, 7}));
    int64_t value = 0;
    EXPECT_EQ(first->get_Current(&value), E_BOUNDS);
    bool has_current = true;
    EXPECT_EQ(first->MoveNext(&has_current), S_OK);
    EXPECT_FALSE(has_current);

    // Each First() starts over, independently of earlier iterators.
    com_ptr<IIterator<int64_t>> again;
    ASSERT_EQ(shape->First(again.put()), S_OK);
    EXPECT_EQ(drain(again.get()), (std::vector<int64_t>{2, 0, 7}));
}

TEST(ShapeIterable, LongShapesAreKeptWhole) {
    std::vector<int64_t> dims(11);
    for (size_t i = 0; i < dims.size(); ++i) dims[i] = static_cast<int64_t>(i + 1);
    auto shape = ShapeIterable::make(dims);
    com_ptr<IIterator<int64_t>> first;
    ASSERT_EQ(shape->First(first.put()), S_OK);
    EXPECT_EQ(drain(first.get()), dims);
}

TEST(ShapeIterable, EmptyShapeHasNoCurrent) {
    auto shape = ShapeIterable::make({});
    com_ptr<IIterator<int64_t>> first;
    ASSERT_EQ(shape->First(first.put()), S_OK);
    EXPECT_TRUE(drain(first.get()).empty());
}

TEST(ShapeIterable, GetManyCopiesAtMostCapacityAndAdvances) {
    auto shape = ShapeIterable::make({1, 2, 3, 4, 5});
    com_ptr<IIterator<int64_t>> it;
    ASSERT_EQ(shape->First(it.put()), S_OK);
    int64_t items[3] = {};
    uint32_t actual = 99;
    ASSERT_EQ(it->GetMany(3, items, &actual), S_OK);
    EXPECT_EQ(actual, 3u);
    EXPECT_EQ(items[2], 3);
    ASSERT_EQ(it->GetMany(3, items, &actual), S_OK);
    EXPECT_EQ(actual, 2u);
    EXPECT_EQ(items[0], 4);
    EXPECT_EQ(items[1], 5);
    ASSERT_EQ(it->GetMany(3, items, &actual), S_OK);
    EXPECT_EQ(actual, 0u);
    EXPECT_EQ(it->GetMany(1, nullptr, &actual), E_POINTER);
}

TEST(ShapeIterable, ClosedIterableRefusesEveryIteration) {
    auto shape = ShapeIterable::make({3, 4});
    com_ptr<IIterator<int64_t>> retained;
    ASSERT_EQ(shape->First(retained.put()), S_OK);
    {
        qelmo::ShapeIterableCloser closer(shape.get());
    }
    com_ptr<IIterator<int64_t>> first;
    EXPECT_EQ(shape->First(first.put()), E_ILLEGAL_METHOD_CALL);
    EXPECT_EQ(first.get(), nullptr);

    // An iterator kept past the call gets nothing either.
    int64_t value = 0;
    bool has_current = false;
    uint32_t actual = 0;
    EXPECT_EQ(retained->get_Current(&value), E_ILLEGAL_METHOD_CALL);
    EXPECT_EQ(retained->get_HasCurrent(&has_current), E_ILLEGAL_METHOD_CALL);
    EXPECT_EQ(retained->MoveNext(&has_current), E_ILLEGAL_METHOD_CALL);
    EXPECT_EQ(retained->GetMany(1, &value, &actual), E_ILLEGAL_METHOD_CALL);
}

TEST(ShapeIterable, AnswersOnlyItsOwnInterfaces) {
    auto shape = ShapeIterable::make({1});
    com_ptr<IIterable<int64_t>> iterable;
    EXPECT_EQ(shape.as(iterable), S_OK);
    com_ptr<IUnknown> unknown;
    EXPECT_EQ(shape.as(unknown), S_OK);
    com_ptr<IVectorView<int64_t>> view;
    EXPECT_EQ(shape.as(view), E_NOINTERFACE);
    EXPECT_EQ(view.get(), nullptr);
}

TEST(ShapeIterable, IteratorKeepsTheIterableAlive) {
    com_ptr<IIterator<int64_t>> it;
    {
        auto shape = ShapeIterable::make({5, 6});
        ASSERT_EQ(shape->First(it.put()), S_OK);
        EXPECT_EQ(shape->AddRef(), 3u);  // ours, the iterator's, this one
        shape->Release();
    }
    EXPECT_EQ(drain(it.get()), (std::vector<int64_t>{5, 6}));
}

}  // namespace
