// ONNX Runtime's log: warnings are kept only on the thread that is making a
// session, a few and shortened, and added to that session's failure.
#include "onnxruntime/onnxruntime_log.h"

#include <gtest/gtest.h>

#include <string>

namespace runtime {
namespace {

void warn(const std::string& message, OrtLoggingLevel level = ORT_LOGGING_LEVEL_WARNING) {
    onnxruntime_log(nullptr, level, "category", "logid", "file.cc:1", message.c_str());
}

std::string failure_message(void (*during)()) {
    try {
        with_logged_warnings([&] {
            during();
            throw runtime_failure(E_FAIL, "could not prepare");
        });
    } catch (const runtime_failure& failure) {
        EXPECT_EQ(failure.status(), E_FAIL);
        return failure.message();
    }
    ADD_FAILURE() << "no failure";
    return {};
}

TEST(OnnxRuntimeLog, WarningsWhileMakingASessionJoinItsFailure) {
    warn("before: never kept");
    EXPECT_EQ(failure_message([] {
                  warn("upgrade the model");
                  warn("upgrade the model");  // repeated once per pass: kept once
                  warn("only information", ORT_LOGGING_LEVEL_INFO);
                  warn("an error", ORT_LOGGING_LEVEL_ERROR);
              }),
              "could not prepare\nONNX Runtime warned: upgrade the model\nONNX Runtime warned: an error");
    EXPECT_EQ(failure_message([] {}), "could not prepare");
}

TEST(OnnxRuntimeLog, KeptWarningsAreFewAndShort) {
    const std::string message = failure_message([] {
        warn(std::string(10000, 'x'));
        for (int i = 0; i < 10; ++i) warn("warning " + std::to_string(i));
    });
    const std::string shortened = "ONNX Runtime warned: " + std::string(logged_warnings::max_line_length - 3, 'x') + "...";
    EXPECT_EQ(message, "could not prepare\n" + shortened +
                           "\nONNX Runtime warned: warning 0\nONNX Runtime warned: warning 1"
                           "\nONNX Runtime warned: warning 2\n(7 more warnings not shown)");
}

}  // namespace
}  // namespace runtime
