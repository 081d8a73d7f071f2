// What the runtime knows of an ONNX model file, as read by read_onnx_model.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace runtime {

// The kind of an ONNX TypeProto's `value` oneof.
enum class onnx_value_kind { tensor, sequence, map, optional, sparse_tensor, opaque, undefined };

struct onnx_dimension {
    int64_t value = -1;  // -1 when symbolic or unset
    std::string name;    // dim_param, when symbolic
};

struct onnx_value_info {
    std::string name;
    std::string doc_string;
    onnx_value_kind kind = onnx_value_kind::undefined;
    std::string denotation;  // TypeProto.denotation, e.g. "IMAGE"
    // For tensor (and sparse tensor) values:
    int32_t element_type = 0;  // TensorProto.DataType
    bool has_shape = false;    // false: rank unknown
    std::vector<onnx_dimension> shape;
};

// A tensor that keeps its data in another file, as its TensorProto's
// `external_data` entries say. Nothing here is checked: the values are the
// file's text.
struct onnx_external_reference {
    std::string tensor;     // the tensor's name; may be empty
    std::string location;   // a path, meant to be relative to the model's folder
    std::string offset;     // decimal text, when has_offset
    std::string length;     // decimal text, when has_length
    bool has_location = false;
    bool has_offset = false;
    bool has_length = false;
    // Where the TensorProto itself lies in the model's bytes.
    uint64_t tensor_begin = 0, tensor_end = 0;
    // An initializer of the model's own graph, or the tensor of a Constant
    // node in it (which runtimes turn into an initializer): not in a
    // subgraph, function, sparse tensor or other attribute.
    bool main_graph_initializer = false;
};

struct onnx_model {
    std::string producer_name;
    std::string producer_version;
    std::string domain;
    std::string doc_string;
    int64_t model_version = 0;
    int64_t ir_version = 0;
    std::vector<std::pair<std::string, std::string>> metadata_props;  // file order
    std::string graph_name;
    std::string graph_doc_string;
    std::vector<onnx_value_info> inputs;   // graph inputs that name no initializer, file order
    std::vector<onnx_value_info> outputs;  // file order
    bool has_external_data = false;        // some tensor keeps its data in another file
    std::vector<onnx_external_reference> external_data;  // every such tensor, file order
};

enum class onnx_read_status { ok, malformed };

// Parses a serialised ModelProto. Never reads outside `bytes`; on malformed
// input (truncation, overlong varints, lengths past the end, wrong wire
// types, nesting deeper than a fixed limit) returns `malformed` and a short
// reason in `error`. Unknown fields are skipped; a repeated singular field
// follows the wire format's rule (last scalar wins, messages merge), except
// where that would blur where a tensor's data lives: a tensor giving an
// external data key twice, or a field holding one tensor given twice with
// external data in it, is malformed too. Only std::bad_alloc escapes.
onnx_read_status read_onnx_model(std::string_view bytes, onnx_model& model, std::string& error);

}  // namespace runtime
