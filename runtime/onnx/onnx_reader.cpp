// Reads what the runtime needs from a serialised ONNX ModelProto: metadata,
// the graph's inputs and outputs with their types, and every tensor that
// keeps its data in an external file. Everything else is skipped unread;
// tensor data is never copied.
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "onnx/onnx_fields.h"
#include "onnx/onnx_message_map.h"
#include "onnx/onnx_model.h"
#include "onnx/onnx_value_info_reader.h"
#include "onnx/protobuf_wire.h"
#include "onnx/quoted_text.h"

namespace runtime {
namespace {

using namespace onnx_fields;

// Follows the message map from the model to every tensor, reading the
// model's fields and its own graph's on the way, and each tensor's external
// data entries.
class model_visitor {
public:
    static constexpr size_t no_reference = static_cast<size_t>(-1);

    struct frame {
        std::string_view bytes;      // the message's
        bool main_graph = false;     // the model's own graph, not a subgraph
        std::string_view name;       // a tensor's; a sparse tensor's values'; an attribute's
        int32_t data_location = 0;   // a tensor's, as protobuf reads it
        // A tensor's external data entries, and the keys given twice.
        std::string_view location, offset, length;
        uint8_t keys_given = 0;
        std::string_view repeated_key;
        // External data in it: entries, or a data location that said so at
        // some point (a later value may have said otherwise).
        bool external = false;
        // Links holding a single tensor or sparse tensor that were given,
        // and those of them that held external data.
        uint8_t singles_given = 0, singles_external = 0;
        // A node's type and attribute count; an attribute's type; the
        // reference made by an attribute's `t`, and by a node's last
        // attribute when that is of type TENSOR.
        std::string_view op_type, domain;
        int32_t attribute_type = 0;
        uint32_t attributes = 0;
        size_t reference = no_reference;
    };

    model_visitor(onnx_model& model, std::string_view bytes) : model_(model), bytes_(bytes) {}

    // A linked field of another wire type is an error.
    static bool follows(const wire_field&) { return true; }

    frame enter(const frame&, const onnx_link& link, const wire_field& field) {
        frame inner;
        inner.bytes = field.bytes;
        if (link.outer == onnx_message::model && link.inner == onnx_message::graph) {
            // A repeated singular message merges into the first.
            inner.main_graph = true;
            has_graph_ = true;
        }
        return inner;
    }

    void leave(frame& outer, const frame& inner, const onnx_link& link) {
        const bool tensor = link.inner == onnx_message::tensor;
        if (tensor) {
            const size_t reference = record_reference(outer, inner, link);
            if (link.outer == onnx_message::attribute && link.field == attribute_field::t) outer.reference = reference;
        }
        check_single(outer, inner, link);
        outer.external = outer.external || inner.external;
        // A sparse tensor is named by its values.
        if (link.outer == onnx_message::sparse_tensor && link.field == sparse_tensor_field::values) {
            outer.name = inner.name;
        }
        if (outer.main_graph && (tensor || link.inner == onnx_message::sparse_tensor)) {
            initializer_names_.insert(inner.name);
        }
        if (link.outer == onnx_message::node && link.inner == onnx_message::attribute) {
            ++outer.attributes;
            outer.reference = inner.attribute_type == attribute_field::tensor_type ? inner.reference : no_reference;
        }
        if (link.outer == onnx_message::graph && link.inner == onnx_message::node && outer.main_graph) {
            // Runtimes make the tensor of a Constant node of the default
            // domain an initializer; only the plain form is counted as one.
            if (inner.op_type == "Constant" && inner.domain.empty() && inner.attributes == 1 &&
                inner.reference != no_reference) {
                model_.external_data[inner.reference].main_graph_initializer = true;
            }
        }
    }

    void visit(frame& current, onnx_message kind, const wire_field& field, const message_reader& reader) {
        switch (kind) {
            case onnx_message::model: read_model_field(field, reader); break;
            case onnx_message::graph:
                if (current.main_graph) read_main_graph_field(field, reader);
                break;
            case onnx_message::tensor: read_tensor_field(field, reader, current); break;
            case onnx_message::node: read_node_field(field, current); break;
            case onnx_message::attribute: read_attribute_field(field, current); break;
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

    static void read_tensor_field(const wire_field& field, const message_reader& reader, frame& tensor) {
        switch (field.number) {
            case tensor_field::name: tensor.name = field_bytes(field, "TensorProto.name"); break;
            case tensor_field::data_location:
                if (field_enum(field, "TensorProto.data_location", tensor_field::last_location, tensor.data_location)) {
                    tensor.external = tensor.external || tensor.data_location == tensor_field::external_location;
                }
                break;
            case tensor_field::external_data:
                read_external_entry(reader.nested(field, "TensorProto.external_data"), tensor);
                break;
            default:
                break;
        }
    }

    static void read_external_entry(message_reader reader, frame& tensor) {
        std::string_view key, value;
        wire_field field;
        while (reader.next(field)) {
            if (field.number == entry_field::key) key = field_bytes(field, "StringStringEntryProto.key");
            if (field.number == entry_field::value) value = field_bytes(field, "StringStringEntryProto.value");
        }
        tensor.external = true;
        static constexpr std::string_view keys[] = {"location", "offset", "length"};
        std::string_view* values[] = {&tensor.location, &tensor.offset, &tensor.length};
        for (size_t i = 0; i < std::size(keys); ++i) {
            if (key != keys[i]) continue;
            const auto bit = static_cast<uint8_t>(1u << i);
            if (tensor.keys_given & bit) tensor.repeated_key = keys[i];
            tensor.keys_given |= bit;
            *values[i] = value;
        }
    }

    static void read_node_field(const wire_field& field, frame& node) {
        if (field.number == node_field::op_type) node.op_type = field_bytes(field, "NodeProto.op_type");
        if (field.number == node_field::domain) node.domain = field_bytes(field, "NodeProto.domain");
    }

    static void read_attribute_field(const wire_field& field, frame& attribute) {
        if (field.number == attribute_field::type) {
            field_enum(field, "AttributeProto.type", attribute_field::last_type, attribute.attribute_type);
        }
    }

    // Records a tensor that keeps its data elsewhere. Which of two values
    // of a key a runtime takes is its own affair: a key given twice is
    // refused, so that what is checked is what is read.
    size_t record_reference(const frame& outer, const frame& inner, const onnx_link& link) {
        if (inner.data_location != tensor_field::external_location) {
            // What a runtime makes of such a tensor is its own affair: one
            // may read the entries, another the inline data.
            if (inner.external) {
                throw wire_error("tensor " + quoted_name(inner.name) +
                                 " has external data entries, but its data location is not EXTERNAL");
            }
            return no_reference;
        }
        model_.has_external_data = true;
        if (!inner.repeated_key.empty()) {
            throw wire_error("tensor " + quoted_name(inner.name) + " gives its external data '" +
                             std::string(inner.repeated_key) + "' twice");
        }
        onnx_external_reference& reference = model_.external_data.emplace_back();
        reference.tensor = inner.name;
        reference.location = inner.location;
        reference.offset = inner.offset;
        reference.length = inner.length;
        reference.has_location = (inner.keys_given & 1) != 0;
        reference.has_offset = (inner.keys_given & 2) != 0;
        reference.has_length = (inner.keys_given & 4) != 0;
        reference.tensor_begin = static_cast<uint64_t>(inner.bytes.data() - bytes_.data());
        reference.tensor_end = reference.tensor_begin + inner.bytes.size();
        reference.main_graph_initializer = outer.main_graph && link.outer == onnx_message::graph &&
                                           link.field == graph_field::initializer;
        return model_.external_data.size() - 1;
    }

    // A field that holds one message, given twice, merges the two: a tensor
    // with its location in one and its offset in the other. With external
    // data in either, that is refused rather than pieced together.
    static void check_single(frame& outer, const frame& inner, const onnx_link& link) {
        uint8_t bit = 0;
        if (link.outer == onnx_message::attribute) {
            if (link.field == attribute_field::t) bit = 1;
            if (link.field == attribute_field::sparse_tensor) bit = 2;
        } else if (link.outer == onnx_message::sparse_tensor) {
            bit = link.field == sparse_tensor_field::values ? 1 : 2;
        }
        if (bit == 0) return;
        if ((outer.singles_given & bit) && (inner.external || (outer.singles_external & bit))) {
            throw wire_error(std::string("a tensor with external data is given twice in ") + link.name);
        }
        outer.singles_given |= bit;
        if (inner.external) outer.singles_external |= bit;
    }

    static std::string quoted_name(std::string_view name) { return quoted_text(name, 100); }

    onnx_model& model_;
    std::string_view bytes_;  // the whole model's
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
        model_visitor visitor(model, bytes);
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
