#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "onnx/onnx_model.h"
#include "proto_writer.h"

using runtime::onnx_model;
using runtime::onnx_read_status;
using runtime::onnx_value_kind;
using test_proto::dim;
using test_proto::message;

namespace {

onnx_model read_ok(const std::string& bytes) {
    onnx_model model;
    std::string error;
    EXPECT_EQ(runtime::read_onnx_model(bytes, model, error), onnx_read_status::ok) << error;
    return model;
}

std::string read_error(const std::string& bytes) {
    onnx_model model;
    std::string error;
    EXPECT_EQ(runtime::read_onnx_model(bytes, model, error), onnx_read_status::malformed);
    EXPECT_FALSE(error.empty());
    return error;
}

std::string model_of_graph(const message& graph) { return test_proto::model_with(graph).str(); }

message graph_with_input(const message& input) {
    return message().bytes(2, "g").nested(11, input);
}

}  // namespace

TEST(OnnxReader, ReadsMetadataAndFeatures) {
    const onnx_model model = read_ok(test_proto::simple_model());
    EXPECT_EQ(model.ir_version, 8);
    EXPECT_EQ(model.producer_name, "test-producer");
    EXPECT_EQ(model.producer_version, "1.0");
    EXPECT_EQ(model.domain, "ai.test");
    EXPECT_EQ(model.model_version, 42);
    EXPECT_EQ(model.doc_string, "a model for tests");
    EXPECT_EQ(model.graph_name, "simple");
    ASSERT_EQ(model.metadata_props.size(), 1u);
    EXPECT_EQ(model.metadata_props[0].first, "license");
    EXPECT_EQ(model.metadata_props[0].second, "none");
    EXPECT_FALSE(model.has_external_data);

    ASSERT_EQ(model.inputs.size(), 1u);
    const auto& x = model.inputs[0];
    EXPECT_EQ(x.name, "x");
    EXPECT_EQ(x.doc_string, "the input");
    EXPECT_EQ(x.kind, onnx_value_kind::tensor);
    EXPECT_EQ(x.element_type, 1);
    ASSERT_TRUE(x.has_shape);
    ASSERT_EQ(x.shape.size(), 2u);
    EXPECT_EQ(x.shape[0].value, 1);
    EXPECT_EQ(x.shape[1].value, 3);
    ASSERT_EQ(model.outputs.size(), 1u);
    EXPECT_EQ(model.outputs[0].name, "y");
}

TEST(OnnxReader, ShapesKeepFileOrderAndMarkFreeDimensions) {
    message graph;
    message unset_dimension = test_proto::tensor_type(1, {{-1, "batch"}, {10}});
    // A third dimension with neither a value nor a name.
    unset_dimension = message().nested(
        1, message().varint(1, 1).nested(2, message()
                                               .nested(1, message().bytes(2, "batch"))
                                               .nested(1, message().varint(1, 10))
                                               .nested(1, message())));
    graph.nested(11, test_proto::value_info("a", unset_dimension))
        .nested(11, test_proto::value_info("scalar", test_proto::tensor_type(7, {})))
        .nested(11, test_proto::value_info("unranked", test_proto::tensor_type(11, {}, false)))
        .nested(11, test_proto::value_info("negative", test_proto::tensor_type(1, {{-5}})));
    const onnx_model model = read_ok(model_of_graph(graph));
    ASSERT_EQ(model.inputs.size(), 4u);

    const auto& a = model.inputs[0];
    ASSERT_EQ(a.shape.size(), 3u);
    EXPECT_EQ(a.shape[0].value, -1);
    EXPECT_EQ(a.shape[0].name, "batch");
    EXPECT_EQ(a.shape[1].value, 10);
    EXPECT_EQ(a.shape[2].value, -1);

    EXPECT_TRUE(model.inputs[1].has_shape);
    EXPECT_TRUE(model.inputs[1].shape.empty());
    EXPECT_EQ(model.inputs[1].element_type, 7);
    EXPECT_FALSE(model.inputs[2].has_shape);
    EXPECT_EQ(model.inputs[3].shape[0].value, -1);
}

TEST(OnnxReader, InputsNamingInitializersAreNotFeatures) {
    message sparse;
    sparse.nested(1, test_proto::initializer("s")).nested(2, test_proto::initializer("s_indices")).varint(3, 2);
    message graph;
    graph.nested(11, test_proto::value_info("w", test_proto::tensor_type(1, {{2}})))
        .nested(11, test_proto::value_info("x", test_proto::tensor_type(1, {{2}})))
        .nested(11, test_proto::value_info("s", test_proto::tensor_type(1, {{2}})))
        .nested(11, test_proto::value_info("z", test_proto::tensor_type(1, {{2}})))
        // Initializers after the inputs that name them still count.
        .nested(5, test_proto::initializer("w"))
        .nested(15, sparse);
    const onnx_model model = read_ok(model_of_graph(graph));
    ASSERT_EQ(model.inputs.size(), 2u);
    EXPECT_EQ(model.inputs[0].name, "x");
    EXPECT_EQ(model.inputs[1].name, "z");
    EXPECT_FALSE(model.has_external_data);
}

TEST(OnnxReader, ReadsEveryKindOfType) {
    message sequence_type;
    sequence_type.nested(4, message().nested(1, test_proto::tensor_type(1, {})));
    message map_type;
    map_type.nested(5, message().varint(1, 8).nested(2, test_proto::tensor_type(1, {})));
    message optional_type;
    optional_type.nested(9, message().nested(1, test_proto::tensor_type(1, {})));
    message sparse_type;
    sparse_type.nested(8, message().varint(1, 1).nested(2, message()));
    message opaque_type;
    opaque_type.nested(7, message().bytes(1, "d").bytes(2, "n"));
    message image_type = test_proto::tensor_type(1, {{1}, {3}, {-1, "h"}, {224}});
    image_type.bytes(6, "IMAGE");

    message graph;
    graph.nested(11, test_proto::value_info("seq", sequence_type))
        .nested(11, test_proto::value_info("map", map_type))
        .nested(11, test_proto::value_info("opt", optional_type))
        .nested(11, test_proto::value_info("sparse", sparse_type))
        .nested(11, test_proto::value_info("opaque", opaque_type))
        .nested(11, test_proto::value_info("image", image_type))
        .nested(11, message().bytes(1, "untyped"));
    const onnx_model model = read_ok(model_of_graph(graph));
    ASSERT_EQ(model.inputs.size(), 7u);
    EXPECT_EQ(model.inputs[0].kind, onnx_value_kind::sequence);
    EXPECT_EQ(model.inputs[1].kind, onnx_value_kind::map);
    EXPECT_EQ(model.inputs[2].kind, onnx_value_kind::optional);
    EXPECT_EQ(model.inputs[3].kind, onnx_value_kind::sparse_tensor);
    EXPECT_EQ(model.inputs[3].element_type, 1);
    EXPECT_TRUE(model.inputs[3].has_shape);
    EXPECT_EQ(model.inputs[4].kind, onnx_value_kind::opaque);
    EXPECT_EQ(model.inputs[5].kind, onnx_value_kind::tensor);
    EXPECT_EQ(model.inputs[5].denotation, "IMAGE");
    EXPECT_EQ(model.inputs[5].shape.size(), 4u);
    EXPECT_EQ(model.inputs[6].kind, onnx_value_kind::undefined);
}

TEST(OnnxReader, RepeatedSingularFieldsFollowTheWireFormat) {
    message model = test_proto::model_with(test_proto::simple_graph());
    // A later scalar replaces the earlier; a later graph merges into it.
    model.bytes(2, "second-producer").nested(7, message().bytes(2, "renamed").nested(
        12, test_proto::value_info("z", test_proto::tensor_type(6, {{4}}))));
    const onnx_model read = read_ok(model.str());
    EXPECT_EQ(read.producer_name, "second-producer");
    EXPECT_EQ(read.graph_name, "renamed");
    ASSERT_EQ(read.inputs.size(), 1u);
    ASSERT_EQ(read.outputs.size(), 2u);
    EXPECT_EQ(read.outputs[1].name, "z");

    // The type is a oneof: a later member replaces an earlier one.
    message type = test_proto::tensor_type(1, {{3}});
    type.nested(4, message());
    const onnx_model switched = read_ok(model_of_graph(graph_with_input(test_proto::value_info("v", type))));
    EXPECT_EQ(switched.inputs[0].kind, onnx_value_kind::sequence);
    EXPECT_FALSE(switched.inputs[0].has_shape);
}

TEST(OnnxReader, SkipsUnknownFieldsOfEveryWireType) {
    message graph = test_proto::simple_graph();
    graph.varint(900, 7).fixed32(901, 1).fixed64(902, 2).bytes(903, "junk");
    // A group holding a nested group, then its end.
    graph.tag(904, 3).varint(1, 5).tag(905, 3).bytes(2, "in").tag(905, 4).tag(904, 4);
    message model = test_proto::model_with(graph);
    model.varint(1000, 1).bytes(8, "not an opset but skipped");
    const onnx_model read = read_ok(model.str());
    EXPECT_EQ(read.graph_name, "simple");
    EXPECT_EQ(read.inputs.size(), 1u);
}

TEST(OnnxReader, CollectsExternalDataWhereverTensorsLive) {
    using test_proto::external_tensor;
    const message weights = external_tensor("w", "weights.bin", "16", "8");
    message graph = test_proto::simple_graph();
    graph.nested(5, weights)
        .nested(1, test_proto::constant_node(external_tensor("c", "c.bin")))
        .nested(1, test_proto::constant_node(external_tensor("custom", "d.bin")).bytes(7, "custom.domain"));
    // A Constant node inside an If branch.
    message branch;
    branch.bytes(2, "then").nested(1, test_proto::constant_node(external_tensor("in_branch", "sub/b.bin")));
    graph.nested(1, test_proto::if_node(branch));
    graph.nested(15, message().nested(1, external_tensor("sparse", "s.bin")).nested(2, external_tensor("", "i.bin")));
    // Tensors that say where their data would live but keep it inline.
    message inline_tensor = test_proto::initializer("inline");
    inline_tensor.varint(14, 0);
    graph.nested(5, inline_tensor);
    message model = test_proto::model_with(graph);
    model.nested(25, message().bytes(1, "f").nested(7, test_proto::constant_node(external_tensor("in_f", "f.bin"))));
    const std::string bytes = model.str();
    const onnx_model read = read_ok(bytes);

    ASSERT_TRUE(read.has_external_data);
    ASSERT_EQ(read.external_data.size(), 7u);
    const auto& w = read.external_data[0];
    EXPECT_EQ(w.tensor, "w");
    EXPECT_EQ(w.location, "weights.bin");
    EXPECT_TRUE(w.has_location && w.has_offset && w.has_length);
    EXPECT_EQ(w.offset, "16");
    EXPECT_EQ(w.length, "8");
    EXPECT_EQ(bytes.substr(w.tensor_begin, w.tensor_end - w.tensor_begin), weights.str());
    const std::vector<std::pair<std::string, bool>> expected = {
        {"w", true}, {"c", true}, {"custom", false}, {"in_branch", false}, {"sparse", false}, {"", false},
        {"in_f", false}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(read.external_data[i].tensor, expected[i].first);
        EXPECT_EQ(read.external_data[i].main_graph_initializer, expected[i].second) << expected[i].first;
    }
}

TEST(OnnxReader, RefusesExternalDataThatReadsTwoWays) {
    using test_proto::external_tensor;
    message twice = external_tensor("w", "weights.bin");
    twice.nested(13, message().bytes(1, "location").bytes(2, "/etc/passwd"));
    EXPECT_NE(read_error(model_of_graph(test_proto::simple_graph().nested(5, twice))).find("'location' twice"),
              std::string::npos);

    // A field holding one tensor, given twice, merges the two: refused
    // when either holds external data, as it always was otherwise.
    auto constant_with = [](const message& first, const message& second) {
        message attribute;
        attribute.bytes(1, "value").nested(5, first).nested(5, second).varint(20, 4);
        message node;
        node.bytes(4, "Constant").nested(5, attribute);
        return model_of_graph(test_proto::simple_graph().nested(1, node));
    };
    message located_only;  // a location, but no data_location: not external on its own
    located_only.nested(13, message().bytes(1, "location").bytes(2, "/etc/passwd"));
    read_error(constant_with(located_only, external_tensor("c", "c.bin")));
    read_error(constant_with(external_tensor("c", "c.bin"), test_proto::initializer("c")));
    EXPECT_FALSE(read_ok(constant_with(test_proto::initializer("a"), test_proto::initializer("b"))).has_external_data);
    message sparse;
    sparse.nested(1, test_proto::initializer("v")).nested(1, external_tensor("v", "v.bin"));
    read_error(model_of_graph(test_proto::simple_graph().nested(15, sparse)));
}

// Enumerations are read as protobuf reads them: the low 32 bits, and a value
// outside the enumeration leaves the field as it was.
TEST(OnnxReader, ReadsEnumerationsAsProtobufDoes) {
    using test_proto::external_tensor;
    auto tensor_with_locations = [](std::vector<uint64_t> locations) {
        message tensor;
        tensor.varint(1, 2).varint(2, 1).bytes(8, "w").nested(13, message().bytes(1, "location").bytes(2, "w.bin"));
        for (uint64_t location : locations) tensor.varint(14, location);
        return tensor;
    };
    struct data_location_case {
        std::vector<uint64_t> locations;
        bool external;  // else refused: entries without an EXTERNAL location
    };
    const data_location_case cases[] = {
        {{(uint64_t{1} << 32) + 1}, true},          // 2^32 + 1 keeps its low bits: EXTERNAL
        {{0xFFFFFFFF00000001}, true},               // likewise
        {{1, 7}, true},                             // 7 is no DataLocation: EXTERNAL stays
        {{1, uint64_t(-1)}, true},                  // nor is -1
        {{1, 0}, false},                            // DEFAULT last, entries still there
        {{7}, false},
        {{}, false},
    };
    for (const data_location_case& c : cases) {
        const std::string bytes = model_of_graph(test_proto::simple_graph().nested(5, tensor_with_locations(c.locations)));
        if (c.external) {
            const onnx_model read = read_ok(bytes);
            ASSERT_EQ(read.external_data.size(), 1u);
            EXPECT_EQ(read.external_data[0].location, "w.bin");
        } else {
            EXPECT_NE(read_error(bytes).find("tensor 'w' has external data entries, but its data location is not EXTERNAL"),
                      std::string::npos);
        }
    }

    // AttributeProto.type 2^32 + 4 is TENSOR: the Constant's tensor counts
    // as an initializer of the main graph; 99 is no AttributeType.
    for (const auto& [type, initializer] : {std::pair<uint64_t, bool>{(uint64_t{1} << 32) + 4, true}, {99, false}}) {
        message attribute;
        attribute.bytes(1, "value").nested(5, external_tensor("c", "c.bin")).varint(20, type);
        const std::string bytes =
            model_of_graph(test_proto::simple_graph().nested(1, message().bytes(4, "Constant").nested(5, attribute)));
        const onnx_model read = read_ok(bytes);
        ASSERT_EQ(read.external_data.size(), 1u);
        EXPECT_EQ(read.external_data[0].main_graph_initializer, initializer) << type;
    }
}

TEST(OnnxReader, FindsTensorsInFunctionAttributeDefaults) {
    message attribute;
    attribute.bytes(1, "alpha").nested(5, test_proto::external_tensor("default", "/etc/passwd")).varint(20, 4);
    message model = test_proto::model_with(test_proto::simple_graph());
    model.nested(25, message().bytes(1, "f").bytes(10, "local").nested(11, attribute));
    const onnx_model read = read_ok(model.str());
    ASSERT_EQ(read.external_data.size(), 1u);
    EXPECT_EQ(read.external_data[0].location, "/etc/passwd");
    EXPECT_FALSE(read.external_data[0].main_graph_initializer);
}

// --- Malformed input -----------------------------------------------------------

TEST(OnnxReader, RefusesEmptyInputAndModelsWithoutGraph) {
    read_error("");
    message no_graph;
    no_graph.varint(1, 8).bytes(2, "producer");
    EXPECT_NE(read_error(no_graph.str()).find("graph"), std::string::npos);
}

TEST(OnnxReader, EveryTruncationIsRefusedOrStillWellFormed) {
    const std::string full = test_proto::simple_model();
    onnx_model complete = read_ok(full);
    for (size_t length = 0; length < full.size(); ++length) {
        // A copy of exactly `length` bytes, so a sanitizer sees any overread.
        const std::string prefix = full.substr(0, length);
        onnx_model model;
        std::string error;
        const onnx_read_status status = runtime::read_onnx_model(prefix, model, error);
        if (status == onnx_read_status::ok) {
            // Only a cut between top-level fields after the graph can parse.
            EXPECT_EQ(model.inputs.size(), complete.inputs.size()) << "length " << length;
        } else {
            EXPECT_FALSE(error.empty());
            EXPECT_TRUE(model.inputs.empty() && model.outputs.empty()) << "partial model left at " << length;
        }
    }
}

TEST(OnnxReader, RefusesBadVarints) {
    // Eleven continuation bytes: longer than any 64-bit varint.
    EXPECT_NE(read_error(std::string(11, '\x80') + '\x01').find("varint"), std::string::npos);
    // A tag cut in the middle of its varint.
    read_error(std::string("\x80", 1));
    // ir_version's value cut short.
    read_error(std::string("\x08\xFF", 2));
    // A ten-byte varint is fine (negative int64 values take ten bytes).
    message model = test_proto::model_with(test_proto::simple_graph());
    model.varint(5, static_cast<uint64_t>(int64_t{-2}));
    EXPECT_EQ(read_ok(model.str()).model_version, -2);
}

TEST(OnnxReader, RefusesLengthsPastTheEnd) {
    std::string model = test_proto::simple_model();
    message overlong;
    overlong.tag(6, 2).raw_varint(1000).raw("short");
    read_error(model + overlong.str());

    // A length near 2^64 must not wrap a pointer or size computation.
    for (uint64_t length : {~uint64_t{0}, ~uint64_t{0} - 3, uint64_t{1} << 63}) {
        message huge;
        huge.tag(7, 2).raw_varint(length).raw("abcd");
        read_error(model + huge.str());
    }
    // Same inside a nested message: the graph's own length is right, an
    // input's is not.
    message graph;
    graph.tag(11, 2).raw_varint(50).raw("xy");
    read_error(model_of_graph(graph));
}

TEST(OnnxReader, RefusesWrongWireTypesForKnownFields) {
    message graph_as_varint;
    graph_as_varint.varint(7, 1);
    read_error(graph_as_varint.str());

    message producer_as_fixed;
    producer_as_fixed.fixed32(2, 0).nested(7, test_proto::simple_graph());
    read_error(producer_as_fixed.str());

    message elem_type_as_bytes;
    elem_type_as_bytes.nested(1, message().bytes(1, "float"));
    read_error(model_of_graph(graph_with_input(test_proto::value_info("x", elem_type_as_bytes))));

    message dim_value_as_fixed64;
    dim_value_as_fixed64.nested(1, message().nested(2, message().nested(1, message().fixed64(1, 3))));
    read_error(model_of_graph(graph_with_input(test_proto::value_info("x", dim_value_as_fixed64))));
}

TEST(OnnxReader, RefusesLinksToTensorsOfAnotherWireTypeNamingTheField) {
    struct bad_link {
        std::vector<uint32_t> path;  // fields from the model to the message holding it
        uint32_t field;
        const char* name;
    };
    const bad_link links[] = {
        {{}, 7, "ModelProto.graph"},
        {{}, 20, "ModelProto.training_info"},
        {{}, 25, "ModelProto.functions"},
        {{7}, 1, "GraphProto.node"},
        {{7}, 5, "GraphProto.initializer"},
        {{7}, 15, "GraphProto.sparse_initializer"},
        {{7, 1}, 5, "NodeProto.attribute"},
        {{7, 1, 5}, 5, "AttributeProto.t"},
        {{7, 1, 5}, 10, "AttributeProto.t"},
        {{7, 1, 5}, 6, "AttributeProto.g"},
        {{7, 1, 5}, 11, "AttributeProto.g"},
        {{7, 1, 5}, 22, "AttributeProto.sparse_tensor"},
        {{7, 1, 5}, 23, "AttributeProto.sparse_tensor"},
        {{7, 1, 5, 6}, 5, "GraphProto.initializer"},
        {{7, 15}, 1, "SparseTensorProto.values"},
        {{7, 15}, 2, "SparseTensorProto.indices"},
        {{25}, 7, "FunctionProto.node"},
        {{20}, 1, "TrainingInfoProto graph"},
        {{20}, 2, "TrainingInfoProto graph"},
    };
    for (const bad_link& link : links) {
        message model = message().varint(link.field, 1);
        for (auto field = link.path.rbegin(); field != link.path.rend(); ++field) model = message().nested(*field, model);
        EXPECT_EQ(read_error(model.str()), std::string("wrong wire type for ") + link.name);
    }
}

TEST(OnnxReader, RefusesBrokenGroupsAndTags) {
    const std::string model = test_proto::simple_model();
    read_error(model + message().tag(30, 4).str());                    // end without start
    read_error(model + message().tag(30, 3).varint(1, 1).str());      // start without end
    read_error(model + message().tag(30, 3).tag(31, 4).str());        // mismatched end
    read_error(model + message().tag(0, 0).raw_varint(1).str());      // field number 0
    read_error(model + message().tag(30, 6).str());                   // wire types 6 and 7 do not exist
    read_error(model + message().tag(30, 7).str());
    read_error(model + message().tag(30, 1).raw("1234").str());       // fixed64 cut short
    read_error(model + message().tag(30, 5).raw("12").str());         // fixed32 cut short

    // Groups nested past the depth limit.
    message deep_groups;
    for (int i = 0; i < 200; ++i) deep_groups.tag(30, 3);
    for (int i = 0; i < 200; ++i) deep_groups.tag(30, 4);
    read_error(model + deep_groups.str());
}

TEST(OnnxReader, RefusesNestingPastTheLimitButReadsDeepValidModels) {
    auto nested_sequence = [](int levels) {
        message type = test_proto::tensor_type(1, {{1}});
        for (int i = 0; i < levels; ++i) type = message().nested(4, message().nested(1, type));
        return type;
    };
    // A sequence of sequences... of tensors; every level is two messages.
    const onnx_model shallow =
        read_ok(model_of_graph(graph_with_input(test_proto::value_info("s", nested_sequence(20)))));
    EXPECT_EQ(shallow.inputs[0].kind, onnx_value_kind::sequence);

    // Attribute subgraphs nested far deeper than the limit are scanned, so
    // the depth check must stop them.
    message graph = test_proto::simple_graph();
    for (int i = 0; i < 200; ++i) {
        message attribute;
        attribute.bytes(1, "body").nested(6, graph);
        graph = message().nested(1, message().bytes(4, "Loop").nested(5, attribute));
    }
    EXPECT_NE(read_error(model_of_graph(graph)).find("nested"), std::string::npos);
}

TEST(OnnxReader, CorruptedBytesNeverCrash) {
    // A model with every structure the reader descends into.
    message graph = test_proto::simple_graph();
    message attribute;
    attribute.bytes(1, "then_branch").nested(6, test_proto::simple_graph().nested(5, test_proto::initializer("c", true)));
    graph.nested(1, message().bytes(4, "If").nested(5, attribute)).nested(5, test_proto::initializer("w"));
    const std::string full = model_of_graph(graph);
    for (size_t offset = 0; offset < full.size(); ++offset) {
        for (char replacement : {'\x00', '\x7F', '\x80', '\xFF', '\x0B', '\x0C'}) {
            std::string corrupted = full;
            corrupted[offset] = replacement;
            onnx_model model;
            std::string error;
            if (runtime::read_onnx_model(corrupted, model, error) == onnx_read_status::malformed) {
                EXPECT_FALSE(error.empty());
            }
        }
    }
}
