// The layers behind the external data checks, each tried as if the ones
// before it had missed a tensor: the last look at the bytes handed over, and
// ONNX Runtime's folder for the files of a model given as bytes. The model
// keeps one tensor of an If branch in "secret.bin", which lies in the
// current folder. ONNX Runtime is taken as the other session tests take it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "memory/external_data.h"
#include "onnxruntime/files_by_name.h"
#include "onnxruntime/onnxruntime_library.h"
#include "proto_writer.h"
#include "runtime_test_support.h"

namespace {

using namespace mlabi;
using runtime_testing::last_error_message;
using test_proto::message;

constexpr char secret[] = "root:x:0:0:root:";  // 16 bytes: four floats

// y = If(true) then x + S else x, all float [4]; S from `location`.
std::string model_naming(const std::string& location) {
    const message type = test_proto::tensor_type(1, {{4}});
    message tensor;
    tensor.varint(1, 4).varint(2, 1).bytes(8, "S").nested(13, message().bytes(1, "location").bytes(2, location));
    tensor.varint(14, 1);
    message then_branch;
    then_branch.nested(1, message().bytes(1, "x").bytes(1, "S").bytes(2, "t").bytes(4, "Add"))
        .bytes(2, "then")
        .nested(5, tensor)
        .nested(12, test_proto::value_info("t", type));
    message else_branch;
    else_branch.nested(1, message().bytes(1, "x").bytes(2, "t").bytes(4, "Identity"))
        .bytes(2, "else")
        .nested(12, test_proto::value_info("t", type));
    message branch_if;
    branch_if.bytes(1, "flag").bytes(2, "y").bytes(4, "If");
    branch_if.nested(5, message().bytes(1, "then_branch").nested(6, then_branch).varint(20, 5));
    branch_if.nested(5, message().bytes(1, "else_branch").nested(6, else_branch).varint(20, 5));
    message flag;
    flag.varint(2, 9).bytes(8, "flag").bytes(9, std::string(1, '\1'));
    message graph;
    graph.nested(1, branch_if)
        .bytes(2, "g")
        .nested(5, flag)
        .nested(11, test_proto::value_info("x", type))
        .nested(12, test_proto::value_info("y", type));
    message opset;
    opset.bytes(1, "").varint(2, 13);
    return message().varint(1, 8).nested(8, opset).nested(7, graph).str();
}

class FilesByName : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (const char* path = std::getenv("QELMO_TEST_ONNXRUNTIME")) runtime::use_onnxruntime_library_for_tests(path);
    }
    void SetUp() override {
        if (runtime::load_onnxruntime(&loaded_) != S_OK) {
            GTEST_SKIP() << "ONNX Runtime not found (set QELMO_TEST_ONNXRUNTIME): " << last_error_message();
        }
        char pattern[] = "/tmp/qelmo_files_by_name_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        std::ofstream(folder_ + "/secret.bin", std::ios::binary) << secret;
        char* here = ::getcwd(nullptr, 0);
        previous_ = here;
        std::free(here);
        ASSERT_EQ(::chdir(folder_.c_str()), 0);
    }
    void TearDown() override {
        if (folder_.empty()) return;
        EXPECT_EQ(::chdir(previous_.c_str()), 0);
        std::remove((folder_ + "/secret.bin").c_str());
        ::rmdir(folder_.c_str());
    }

    // The first value of y for x = 0, or NaN when the session is refused.
    float first_output(const std::string& bytes, bool guarded) const {
        Ort::SessionOptions options;
        if (guarded) runtime::read_no_files_by_name(options);
        try {
            Ort::Session session(*loaded_->env, bytes.data(), bytes.size(), options);
            float x[4] = {0, 0, 0, 0};
            int64_t shape[1] = {4};
            const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
            Ort::Value input = Ort::Value::CreateTensor<float>(memory, x, 4, shape, 1);
            const char* in_names[] = {"x"};
            const char* out_names[] = {"y"};
            std::vector<Ort::Value> out = session.Run(Ort::RunOptions{nullptr}, in_names, &input, 1, out_names, 1);
            return out[0].GetTensorData<float>()[0];
        } catch (const Ort::Exception&) {
            return std::nanf("");
        }
    }

    const runtime::onnxruntime* loaded_ = nullptr;
    std::string folder_, previous_;
};

TEST_F(FilesByName, ALocationTheChecksMissedFindsNothing) {
    const std::string bytes = model_naming("secret.bin");
    float leaked = 0;
    std::memcpy(&leaked, secret, sizeof leaked);
    // Unguarded, ONNX Runtime reads the current folder's file: what the
    // folder option is there for.
    EXPECT_EQ(first_output(bytes, false), leaked);
    // Releases before the folder option (C API 21) have only the checks.
    if (loaded_->api_version >= 21) EXPECT_TRUE(std::isnan(first_output(bytes, true)));
}

TEST_F(FilesByName, TheBytesHandedOverMayNameOnlyFilesServedFromMemory) {
    EXPECT_EQ(runtime::check_nothing_read_by_name(model_naming("secret.bin"), {}), E_INVALID_MODEL);
    EXPECT_EQ(last_error_message(),
              "the model prepared for ONNX Runtime still names external data 'secret.bin' for tensor 'S'");
    // Served from memory, but only the main graph's initializers are: a
    // branch's tensor is still read by name.
    EXPECT_EQ(runtime::check_nothing_read_by_name(model_naming("secret.bin"), {"secret.bin"}), E_INVALID_MODEL);
    EXPECT_EQ(runtime::check_nothing_read_by_name(test_proto::model_with(test_proto::simple_graph().nested(
                                                      5, test_proto::external_tensor("w", "w.bin")))
                                                      .str(),
                                                  {"w.bin"}),
              S_OK);
    EXPECT_EQ(runtime::check_nothing_read_by_name(test_proto::simple_model(), {}), S_OK);
}

}  // namespace
