// The structure walk: reading only the ranges it asks for must give the
// ONNX reader the same model as the complete bytes, without the payloads.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "onnx/onnx_model.h"
#include "onnx/onnx_structure.h"
#include "onnx/protobuf_wire.h"
#include "proto_writer.h"

using runtime::onnx_model;
using runtime::onnx_read_status;
using test_proto::message;

namespace {

// An image of `full` holding only the bytes asked for, byte by byte.
class masked_image final : public runtime::byte_range_source {
public:
    explicit masked_image(const std::string& full) : full_(full), image(full.size(), '\0'), asked(full.size()) {}

    void need(size_t begin, size_t end) override {
        ASSERT_LT(begin, end);
        ASSERT_LE(end, full_.size());
        for (size_t i = begin; i < end; ++i) {
            image[i] = full_[i];
            asked[i] = true;
        }
    }

    const std::string& full_;
    std::string image;
    std::vector<bool> asked;
};

std::string describe(const onnx_model& model) {
    std::ostringstream out;
    out << model.producer_name << '|' << model.producer_version << '|' << model.domain << '|' << model.doc_string
        << '|' << model.model_version << '|' << model.ir_version << '|' << model.graph_name << '|'
        << model.graph_doc_string << '|' << model.has_external_data << '\n';
    for (const auto& [key, value] : model.metadata_props) out << key << '=' << value << '\n';
    for (const auto* list : {&model.inputs, &model.outputs}) {
        for (const auto& value : *list) {
            out << value.name << ':' << value.doc_string << ':' << static_cast<int>(value.kind) << ':'
                << value.denotation << ':' << value.element_type << ':' << value.has_shape;
            for (const auto& dim : value.shape) out << ',' << dim.value << dim.name;
            out << '\n';
        }
        out << "--\n";
    }
    return out.str();
}

// Walks `full`, then checks the reader's verdict on the walked image against
// its verdict on the complete bytes. Returns the image.
masked_image expect_same_reading(const std::string& full) {
    masked_image source(full);
    bool walked = true;
    try {
        runtime::walk_onnx_structure(source.image, source);
    } catch (const runtime::wire_error&) {
        walked = false;
    }
    onnx_model from_full, from_image;
    std::string full_error, image_error;
    const onnx_read_status full_status = runtime::read_onnx_model(full, from_full, full_error);
    if (!walked) {
        // The loader then reads everything; the walk may only give up on
        // bytes the reader refuses too.
        EXPECT_EQ(full_status, onnx_read_status::malformed);
        return source;
    }
    const onnx_read_status image_status = runtime::read_onnx_model(source.image, from_image, image_error);
    EXPECT_EQ(image_status, full_status);
    EXPECT_EQ(image_error, full_error);
    EXPECT_EQ(describe(from_image), describe(from_full));
    return source;
}

message tensor_with(uint32_t payload_field, const std::string& payload, const std::string& name) {
    return message().varint(1, 4).varint(2, 1).bytes(8, name).bytes(payload_field, payload);
}

// A model with tensors wherever a model keeps them, their payloads made of
// 0xA5 bytes, which appear nowhere else.
std::string model_with_tensors_everywhere() {
    const std::string payload(64, '\xA5');
    message graph = test_proto::simple_graph();
    // Inputs naming initializers are not features: names must be read.
    graph.nested(11, test_proto::value_info("w", test_proto::tensor_type(1, {{4}})))
        .nested(5, tensor_with(9, payload, "w"))
        .nested(5, tensor_with(4, payload, "floats"))
        .nested(5, tensor_with(7, payload, "int64s"))
        .nested(5, tensor_with(10, payload, "doubles"));
    // Unpacked numbers and an unknown group: read, but tiny.
    message unpacked = message().bytes(8, "unpacked").fixed32(4, 0x3F800000).varint(5, 7).fixed64(10, 1);
    unpacked.tag(40, 3).varint(1, 1).tag(40, 4);
    graph.nested(5, unpacked);
    message sparse;
    sparse.nested(1, tensor_with(9, payload, "sparse")).nested(2, tensor_with(7, payload, "sparse_indices"));
    graph.nested(15, sparse).nested(11, test_proto::value_info("sparse", test_proto::tensor_type(1, {{8}})));

    message branch = test_proto::simple_graph();
    branch.nested(5, tensor_with(11, payload, "branch_w")).nested(5, test_proto::initializer("external", true));
    message node;
    node.bytes(4, "If")
        .nested(5, message().bytes(1, "then_branch").nested(6, branch))
        .nested(5, message().bytes(1, "else_branch").nested(11, branch))
        .nested(5, message().bytes(1, "value").nested(5, tensor_with(5, payload, "t")).nested(10, tensor_with(9, payload, "ts")))
        .nested(5, message().bytes(1, "sparse").nested(22, sparse).nested(23, sparse));
    graph.nested(1, node);

    message model = test_proto::model_with(graph);
    model.nested(25, message().bytes(1, "function").nested(7, node));
    model.nested(20, message().nested(1, branch).nested(2, branch));
    return model.str();
}

}  // namespace

TEST(OnnxStructure, ReadsWhatTheReaderNeedsAndNoPayload) {
    const std::string full = model_with_tensors_everywhere();
    const masked_image walked = expect_same_reading(full);
    size_t payload_bytes = 0;
    for (size_t i = 0; i < full.size(); ++i) {
        if (full[i] != '\xA5') continue;
        ++payload_bytes;
        EXPECT_FALSE(walked.asked[i]) << "payload byte read at " << i;
    }
    EXPECT_EQ(payload_bytes % 64, 0u);
    EXPECT_GE(payload_bytes, 64u * 20);
}

TEST(OnnxStructure, MalformedBytesGiveTheReadersVerdict) {
    const std::string full = model_with_tensors_everywhere();
    for (size_t length = 0; length < full.size(); ++length) expect_same_reading(full.substr(0, length));
    for (size_t offset = 0; offset < full.size(); ++offset) {
        for (char replacement : {'\x00', '\x7F', '\x80', '\xFF', '\x0B', '\x0C', '\x4A'}) {
            std::string corrupted = full;
            corrupted[offset] = replacement;
            expect_same_reading(corrupted);
        }
    }
    // Nesting past the limit, through attribute subgraphs the walk enters.
    message graph = test_proto::simple_graph();
    for (int i = 0; i < 120; ++i) {
        graph = message().nested(1, message().bytes(4, "Loop").nested(5, message().bytes(1, "body").nested(6, graph)));
    }
    expect_same_reading(test_proto::model_with(graph).str());
}
