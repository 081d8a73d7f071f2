// The note a platform failure carries to Python.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/failure_note.h"

using qelmo::platform::failure_note;
using qelmo::platform::hresult_error;

TEST(FailureNote, ShowsTheCodeInHexAndTheRuntimeMessage) {
    const hresult_error error(mlabi::E_INVALIDARG,
                              std::make_shared<const std::string>("input 'x': shape [2, 3] does not match the model's [1, 3]"));
    EXPECT_EQ(failure_note(error), "status 0x80070057: input 'x': shape [2, 3] does not match the model's [1, 3]");
}

TEST(FailureNote, DescribesWellKnownCodesWithoutAMessage) {
    EXPECT_EQ(failure_note(hresult_error(mlabi::CLASS_E_CLASSNOTAVAILABLE)),
              "status 0x80040111: the machine-learning runtime library could not be loaded or does not offer this class");
    EXPECT_EQ(failure_note(hresult_error(mlabi::status(0x8BADF00D))), "status 0x8BADF00D");
}
