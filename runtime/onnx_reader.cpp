// Reads what the runtime needs from a serialised ONNX ModelProto: metadata,
// the graph's inputs and outputs with their types, and whether any tensor
// keeps its data in an external file. Everything else is skipped unread;
// tensor data is never copied.
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "onnx_fields.h"
#include "onnx_message_map.h"
#include "onnx_model.h"
#include "onnx_value_info_reader.h"
#include "protobuf_wire.h"

namespace runtime {
namespace {

using namespace onnx_fields;

// Follows the message map from the model to every tensor, reading the
// model's fields and its own graph's on the way.
class model_visitor {
public:
    struct frame {
        bool main_graph = false;     // the model's own graph, not a subgraph
        std::string_view name;       // a tensor's; a sparse tensor's values'
        uint64_t data_location = 0;  // a tensor's
    };

    explicit model_visitor(onnx_model& model) : model_(model) {}

    // A linked field of another wire type is an error.
    static bool follows(const wire_field&) { return true; }

    frame enter(const frame&, const onnx_link& link) {
        frame inner;
        if (link.outer == onnx_message::model && link.inner == onnx_message::graph) {
            // A repeated singular message merges into the first.
            inner.main_graph = true;
            has_graph_ = true;
        }
        return inner;
    }

    void leave(frame& outer, const frame& inner, const onnx_link& link) {
        const bool tensor = link.inner == onnx_message::tensor;
        if (tensor && inner.data_location == tensor_field::external_location) model_.has_external_data = true;
        // A sparse tensor is named by its values.
        if (link.outer == onnx_message::sparse_tensor && link.field == sparse_tensor_field::values) {
            outer.name = inner.name;
        }
        if (outer.main_graph && (tensor || link.inner == onnx_message::sparse_tensor)) {
            initializer_names_.insert(inner.name);
        }
    }

    void visit(frame& current, onnx_message kind, const wire_field& field, const message_reader& reader) {
        switch (kind) {
            case onnx_message::model: read_model_field(field, reader); break;
            case onnx_message::graph:
                if (current.main_graph) read_main_graph_field(field, reader);
                break;
            case onnx_message::tensor: read_tensor_field(field, current); break;
            default: break;
        }
    }

    // Checks for the graph and settles the inputs, once all initializers
    // are known: they may come in any order.
    void finish() {
        if (!has_graph_) throw wire_error("the model has no graph");
        model_.inputs.reserve(inputs_.size());
        for (onnx_value_info& input : inputs_) {
            if (initializer_names_.count(input.name) == 0) model_.inputs.push_back(std::move(input));
        }
    }

private:
    void read_model_field(const wire_field& field, const message_reader& reader) {
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
            case model_field::metadata_props:
                read_metadata_entry(reader.nested(field, "ModelProto.metadata_props"));
                break;
            default:
                break;
        }
    }

    void read_metadata_entry(message_reader reader) {
        std::string_view key, value;
        wire_field field;
        while (reader.next(field)) {
            if (field.number == entry_field::key) key = field_bytes(field, "StringStringEntryProto.key");
            if (field.number == entry_field::value) value = field_bytes(field, "StringStringEntryProto.value");
        }
        model_.metadata_props.emplace_back(std::string(key), std::string(value));
    }

    void read_main_graph_field(const wire_field& field, const message_reader& reader) {
        switch (field.number) {
            case graph_field::name:
                model_.graph_name = field_bytes(field, "GraphProto.name");
                break;
            case graph_field::doc_string:
                model_.graph_doc_string = field_bytes(field, "GraphProto.doc_string");
                break;
            case graph_field::input:
                inputs_.emplace_back();
                read_value_info(reader.nested(field, "GraphProto.input"), inputs_.back());
                break;
            case graph_field::output:
                model_.outputs.emplace_back();
                read_value_info(reader.nested(field, "GraphProto.output"), model_.outputs.back());
                break;
            default:
                break;
        }
    }

    static void read_tensor_field(const wire_field& field, frame& tensor) {
        if (field.number == tensor_field::name) tensor.name = field_bytes(field, "TensorProto.name");
        if (field.number == tensor_field::data_location) {
            tensor.data_location = field_varint(field, "TensorProto.data_location");
        }
    }

    onnx_model& model_;
    bool has_graph_ = false;
    std::vector<onnx_value_info> inputs_;  // of the main graph, initializers among them
    std::unordered_set<std::string_view> initializer_names_;
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
        model_visitor visitor(model);
        message_reader reader(bytes, 0);
        model_visitor::frame frame;
        walk_onnx_message(reader, onnx_message::model, visitor, frame);
        visitor.finish();
        return onnx_read_status::ok;
    } catch (const wire_error& e) {
        model = onnx_model{};
        error = e.what();
        return onnx_read_status::malformed;
    }
}

}  // namespace runtime
