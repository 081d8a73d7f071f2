#include "onnx/external_data_rewrite.h"

#include <gtest/gtest.h>

#include <string>

#include "onnx/onnx_model.h"
#include "proto_writer.h"

using runtime::onnx_model;
using test_proto::external_tensor;
using test_proto::message;

namespace {

onnx_model read_ok(const std::string& bytes) {
    onnx_model model;
    std::string error;
    EXPECT_EQ(runtime::read_onnx_model(bytes, model, error), runtime::onnx_read_status::ok) << error;
    return model;
}

}  // namespace

TEST(ExternalDataRewrite, WritesDataInOrRelocatesAndKeepsTheRest) {
    message branch;
    branch.bytes(2, "then").nested(5, external_tensor("in_branch", "b.bin", "4", "8"));
    message graph = test_proto::simple_graph();
    graph.nested(5, external_tensor("w", "./w.bin", "0", "8"))
        .nested(1, test_proto::if_node(branch))
        .nested(5, external_tensor("kept", "k.bin"));
    const std::string model = test_proto::model_with(graph).str();
    const onnx_model before = read_ok(model);
    ASSERT_EQ(before.external_data.size(), 3u);
    const auto& w = before.external_data[0];
    const auto& in_branch = before.external_data[1];

    runtime::tensor_rewrite relocate{w.tensor_begin, w.tensor_end, {}, "w.bin"};
    runtime::tensor_rewrite write_in{in_branch.tensor_begin, in_branch.tensor_end, "DATA8BYT", {}};
    const std::string rewritten = runtime::rewrite_tensors(model, {write_in, relocate});

    const onnx_model after = read_ok(rewritten);
    EXPECT_EQ(after.producer_name, before.producer_name);
    EXPECT_EQ(after.graph_name, before.graph_name);
    ASSERT_EQ(after.inputs.size(), 1u);
    EXPECT_EQ(after.inputs[0].name, "x");
    EXPECT_EQ(after.metadata_props, before.metadata_props);
    // The branch's tensor now holds its data; the others still point out.
    ASSERT_EQ(after.external_data.size(), 2u);
    EXPECT_EQ(after.external_data[0].location, "w.bin");
    EXPECT_EQ(after.external_data[0].offset, "0");
    EXPECT_EQ(after.external_data[0].length, "8");
    EXPECT_EQ(after.external_data[1].tensor, "kept");
    EXPECT_NE(rewritten.find(std::string("\x4a\x08") + "DATA8BYT"), std::string::npos);  // raw_data, 8 bytes
    EXPECT_EQ(rewritten.find("b.bin"), std::string::npos);
    EXPECT_EQ(runtime::rewrite_tensors(model, {}), model);
}

TEST(ExternalDataRewrite, SizesTensorsFromTypeAndShape) {
    uint64_t size = 0;
    message dims;
    dims.varint(1, 2).varint(1, 3).varint(2, 1);  // float [2, 3]
    ASSERT_TRUE(runtime::tensor_data_size(dims.str(), size));
    EXPECT_EQ(size, 24u);
    message packed;
    packed.bytes(1, std::string("\x02\x03\x04", 3)).varint(2, 11);  // uint64 [2, 3, 4], packed
    ASSERT_TRUE(runtime::tensor_data_size(packed.str(), size));
    EXPECT_EQ(size, 192u);
    EXPECT_TRUE(runtime::tensor_data_size(message().varint(2, 1).str(), size));  // a scalar
    EXPECT_EQ(size, 4u);

    EXPECT_FALSE(runtime::tensor_data_size(message().varint(1, 2).varint(2, 8).str(), size));  // strings
    EXPECT_FALSE(runtime::tensor_data_size(message().varint(1, 2).str(), size));               // no type
    EXPECT_FALSE(runtime::tensor_data_size(message().varint(1, ~uint64_t{0}).varint(2, 1).str(), size));
    const uint64_t huge = uint64_t{1} << 40;
    EXPECT_FALSE(runtime::tensor_data_size(message().varint(1, huge).varint(1, huge).varint(2, 1).str(), size));
}
