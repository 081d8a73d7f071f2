// Reads what the runtime needs from a serialised ONNX ModelProto: metadata,
// the graph's inputs and outputs with their types, and whether any tensor
// keeps its data in an external file. Everything else is skipped unread;
// tensor data is never copied.
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "onnx_fields.h"
#include "onnx_model.h"
#include "onnx_value_info_reader.h"
#include "protobuf_wire.h"

namespace runtime {
namespace {

using namespace onnx_fields;

// State gathered from the main graph; inputs are filtered once all
// initializers are known, since they may come in any order.
struct graph_contents {
    std::vector<onnx_value_info> inputs;
    std::unordered_set<std::string_view> initializer_names;
};

class model_parser {
public:
    explicit model_parser(onnx_model& model) : model_(model) {}

    void parse(std::string_view bytes) {
        message_reader reader(bytes, 0);
        bool has_graph = false;
        wire_field field;
        while (reader.next(field)) {
            switch (field.number) {
                case model_field::ir_version:
                    model_.ir_version = static_cast<int64_t>(field_varint(field, "ModelProto.ir_version"));
                    break;
                case model_field::producer_name:
                    model_.producer_name = field_bytes(field, "ModelProto.producer_name");
                    break;
                case model_field::producer_version:
                    model_.producer_version = field_bytes(field, "ModelProto.producer_version");
                    break;
                case model_field::domain:
                    model_.domain = field_bytes(field, "ModelProto.domain");
                    break;
                case model_field::model_version:
                    model_.model_version = static_cast<int64_t>(field_varint(field, "ModelProto.model_version"));
                    break;
                case model_field::doc_string:
                    model_.doc_string = field_bytes(field, "ModelProto.doc_string");
                    break;
                case model_field::graph:
                    // A repeated singular message merges into the first.
                    parse_main_graph(reader.nested(field, "ModelProto.graph"));
                    has_graph = true;
                    break;
                case model_field::metadata_props:
                    parse_metadata_entry(reader.nested(field, "ModelProto.metadata_props"));
                    break;
                case model_field::training_info:
                    scan_training_info(reader.nested(field, "ModelProto.training_info"));
                    break;
                case model_field::functions:
                    scan_function(reader.nested(field, "ModelProto.functions"));
                    break;
                default:
                    break;
            }
        }
        if (!has_graph) throw wire_error("the model has no graph");

        model_.inputs.reserve(graph_.inputs.size());
        for (onnx_value_info& input : graph_.inputs) {
            if (graph_.initializer_names.count(input.name) == 0) model_.inputs.push_back(std::move(input));
        }
    }

private:
    void parse_metadata_entry(message_reader reader) {
        std::string_view key, value;
        wire_field field;
        while (reader.next(field)) {
            if (field.number == entry_field::key) key = field_bytes(field, "StringStringEntryProto.key");
            if (field.number == entry_field::value) value = field_bytes(field, "StringStringEntryProto.value");
        }
        model_.metadata_props.emplace_back(std::string(key), std::string(value));
    }

    void parse_main_graph(message_reader reader) {
        wire_field field;
        while (reader.next(field)) {
            switch (field.number) {
                case graph_field::name:
                    model_.graph_name = field_bytes(field, "GraphProto.name");
                    break;
                case graph_field::doc_string:
                    model_.graph_doc_string = field_bytes(field, "GraphProto.doc_string");
                    break;
                case graph_field::input:
                    graph_.inputs.emplace_back();
                    read_value_info(reader.nested(field, "GraphProto.input"), graph_.inputs.back());
                    break;
                case graph_field::output:
                    model_.outputs.emplace_back();
                    read_value_info(reader.nested(field, "GraphProto.output"), model_.outputs.back());
                    break;
                case graph_field::initializer:
                    graph_.initializer_names.insert(scan_tensor(reader.nested(field, "GraphProto.initializer")));
                    break;
                case graph_field::sparse_initializer:
                    graph_.initializer_names.insert(
                        scan_sparse_tensor(reader.nested(field, "GraphProto.sparse_initializer")));
                    break;
                case graph_field::node:
                    scan_node(reader.nested(field, "GraphProto.node"));
                    break;
                default:
                    break;
            }
        }
    }

    // --- Looking for tensors whose data lives in another file ---------------

    // Returns the tensor's name; notes external data.
    std::string_view scan_tensor(message_reader reader) {
        std::string_view name;
        uint64_t location = 0;
        wire_field field;
        while (reader.next(field)) {
            if (field.number == tensor_field::name) name = field_bytes(field, "TensorProto.name");
            if (field.number == tensor_field::data_location) location = field_varint(field, "TensorProto.data_location");
        }
        if (location == tensor_field::external_location) model_.has_external_data = true;
        return name;
    }

    // Returns the sparse tensor's name, which is that of its values.
    std::string_view scan_sparse_tensor(message_reader reader) {
        std::string_view name;
        wire_field field;
        while (reader.next(field)) {
            if (field.number == sparse_tensor_field::values) {
                name = scan_tensor(reader.nested(field, "SparseTensorProto.values"));
            } else if (field.number == sparse_tensor_field::indices) {
                scan_tensor(reader.nested(field, "SparseTensorProto.indices"));
            }
        }
        return name;
    }

    void scan_node(message_reader reader) {
        wire_field field;
        while (reader.next(field)) {
            if (field.number == node_field::attribute) scan_attribute(reader.nested(field, "NodeProto.attribute"));
        }
    }

    void scan_attribute(message_reader reader) {
        wire_field field;
        while (reader.next(field)) {
            switch (field.number) {
                case attribute_field::t:
                case attribute_field::tensors:
                    scan_tensor(reader.nested(field, "AttributeProto.t"));
                    break;
                case attribute_field::sparse_tensor:
                case attribute_field::sparse_tensors:
                    scan_sparse_tensor(reader.nested(field, "AttributeProto.sparse_tensor"));
                    break;
                case attribute_field::g:
                case attribute_field::graphs:
                    scan_subgraph(reader.nested(field, "AttributeProto.g"));
                    break;
                default:
                    break;
            }
        }
    }

    void scan_subgraph(message_reader reader) {
        wire_field field;
        while (reader.next(field)) {
            switch (field.number) {
                case graph_field::initializer:
                    scan_tensor(reader.nested(field, "GraphProto.initializer"));
                    break;
                case graph_field::sparse_initializer:
                    scan_sparse_tensor(reader.nested(field, "GraphProto.sparse_initializer"));
                    break;
                case graph_field::node:
                    scan_node(reader.nested(field, "GraphProto.node"));
                    break;
                default:
                    break;
            }
        }
    }

    void scan_function(message_reader reader) {
        wire_field field;
        while (reader.next(field)) {
            if (field.number == function_field::node) scan_node(reader.nested(field, "FunctionProto.node"));
        }
    }

    void scan_training_info(message_reader reader) {
        wire_field field;
        while (reader.next(field)) {
            if (field.number == training_info_field::initialization || field.number == training_info_field::algorithm) {
                scan_subgraph(reader.nested(field, "TrainingInfoProto graph"));
            }
        }
    }

    onnx_model& model_;
    graph_contents graph_;
};

}  // namespace

onnx_read_status read_onnx_model(std::string_view bytes, onnx_model& model, std::string& error) {
    model = onnx_model{};
    error.clear();
    if (bytes.empty()) {
        error = "the file is empty";
        return onnx_read_status::malformed;
    }
    try {
        model_parser(model).parse(bytes);
        return onnx_read_status::ok;
    } catch (const wire_error& e) {
        model = onnx_model{};
        error = e.what();
        return onnx_read_status::malformed;
    }
}

}  // namespace runtime
