// The way from a serialised ONNX ModelProto to every tensor in it: which
// fields of which messages hold the messages that may hold tensors, and
// which fields of a tensor hold its numbers. read_onnx_model follows it to
// find initializers and external data; the structure walk follows it to
// read everything but those numbers. Both walk it with walk_onnx_message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "onnx/onnx_fields.h"
#include "onnx/protobuf_wire.h"

namespace runtime {

enum class onnx_message : uint8_t { model, graph, node, attribute, tensor, sparse_tensor, function, training_info };
constexpr size_t onnx_message_kinds = static_cast<size_t>(onnx_message::training_info) + 1;

// A field of `outer` messages that holds an `inner` message; `name` names
// the field in errors.
struct onnx_link {
    onnx_message outer;
    uint32_t field;
    onnx_message inner;
    const char* name;
};

namespace onnx_map {

using namespace onnx_fields;
using m = onnx_message;

// The repeated forms of attribute fields are named as their single ones.
inline constexpr onnx_link links[] = {
    {m::model, model_field::graph, m::graph, "ModelProto.graph"},
    {m::model, model_field::training_info, m::training_info, "ModelProto.training_info"},
    {m::model, model_field::functions, m::function, "ModelProto.functions"},
    {m::graph, graph_field::node, m::node, "GraphProto.node"},
    {m::graph, graph_field::initializer, m::tensor, "GraphProto.initializer"},
    {m::graph, graph_field::sparse_initializer, m::sparse_tensor, "GraphProto.sparse_initializer"},
    {m::node, node_field::attribute, m::attribute, "NodeProto.attribute"},
    {m::attribute, attribute_field::t, m::tensor, "AttributeProto.t"},
    {m::attribute, attribute_field::tensors, m::tensor, "AttributeProto.t"},
    {m::attribute, attribute_field::g, m::graph, "AttributeProto.g"},
    {m::attribute, attribute_field::graphs, m::graph, "AttributeProto.g"},
    {m::attribute, attribute_field::sparse_tensor, m::sparse_tensor, "AttributeProto.sparse_tensor"},
    {m::attribute, attribute_field::sparse_tensors, m::sparse_tensor, "AttributeProto.sparse_tensor"},
    {m::sparse_tensor, sparse_tensor_field::values, m::tensor, "SparseTensorProto.values"},
    {m::sparse_tensor, sparse_tensor_field::indices, m::tensor, "SparseTensorProto.indices"},
    {m::function, function_field::node, m::node, "FunctionProto.node"},
    // The default values of a function's attributes.
    {m::function, function_field::attribute_proto, m::attribute, "FunctionProto.attribute_proto"},
    {m::training_info, training_info_field::initialization, m::graph, "TrainingInfoProto graph"},
    {m::training_info, training_info_field::algorithm, m::graph, "TrainingInfoProto graph"},
};

// Every linked field number is below this, so links are found by indexing.
constexpr uint32_t field_limit = 32;

struct link_index {
    int8_t entry[onnx_message_kinds][field_limit];
};

constexpr link_index make_link_index() {
    link_index index{};
    for (auto& row : index.entry) {
        for (int8_t& entry : row) entry = -1;
    }
    for (size_t i = 0; i < std::size(links); ++i) {
        // Evaluated at compile time: a field past the limit fails the build.
        if (links[i].field >= field_limit) throw "linked field number past field_limit";
        index.entry[static_cast<size_t>(links[i].outer)][links[i].field] = static_cast<int8_t>(i);
    }
    return index;
}

inline constexpr link_index by_field = make_link_index();

}  // namespace onnx_map

// The link a field of `outer` messages makes, or nullptr.
inline const onnx_link* onnx_link_for(onnx_message outer, uint32_t field) {
    if (field >= onnx_map::field_limit) return nullptr;
    const int8_t entry = onnx_map::by_field.entry[static_cast<size_t>(outer)][field];
    return entry < 0 ? nullptr : &onnx_map::links[entry];
}

// The TensorProto fields that hold its numbers (raw or typed).
constexpr bool is_tensor_payload(uint32_t field) {
    using namespace onnx_fields;
    switch (field) {
        case tensor_field::float_data:
        case tensor_field::int32_data:
        case tensor_field::int64_data:
        case tensor_field::raw_data:
        case tensor_field::double_data:
        case tensor_field::uint64_data:
            return true;
        default:
            return false;
    }
}

// Reads the `kind` message in `reader`, descending through every link. The
// visitor gives the fields their meaning:
//   follows(field): whether a linked field is read as the message it names
//     (when true, one of another wire type is an error);
//   enter(outer frame, link, field) -> inner frame, and leave(outer, inner,
//     link), around each linked message; a frame is what the visitor keeps
//     of one;
//   visit(frame, kind, field, reader): every field not descended into.
template <class Source, class Visitor>
void walk_onnx_message(wire_reader<Source>& reader, onnx_message kind, Visitor& visitor,
                       typename Visitor::frame& frame) {
    wire_field field;
    while (reader.next(field)) {
        const onnx_link* link = onnx_link_for(kind, field.number);
        if (link == nullptr || !visitor.follows(field)) {
            visitor.visit(frame, kind, field, reader);
            continue;
        }
        wire_reader<Source> inner_reader = reader.nested(field, link->name);
        typename Visitor::frame inner = visitor.enter(frame, *link, field);
        walk_onnx_message(inner_reader, link->inner, visitor, inner);
        visitor.leave(frame, inner, *link);
    }
}

}  // namespace runtime
