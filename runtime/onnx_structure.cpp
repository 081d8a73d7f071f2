#include "onnx_structure.h"

#include <cstdint>
#include <string>

#include "onnx_fields.h"
#include "protobuf_wire.h"

namespace runtime {
namespace {

using namespace onnx_fields;

// The messages on the way from the model to its tensors.
enum class message_kind { none, model, graph, node, attribute, tensor, sparse_tensor, function, training_info };

// What the walk does with one field: walk into it as a message (`inner`),
// pass over it unread (`skip`), or otherwise read it whole.
struct field_plan {
    message_kind inner = message_kind::none;
    bool skip = false;
};

constexpr field_plan walk_into(message_kind kind) { return {kind, false}; }

field_plan plan_for(message_kind kind, uint32_t number) {
    switch (kind) {
        case message_kind::model:
            if (number == model_field::graph) return walk_into(message_kind::graph);
            if (number == model_field::training_info) return walk_into(message_kind::training_info);
            if (number == model_field::functions) return walk_into(message_kind::function);
            break;
        case message_kind::graph:
            if (number == graph_field::node) return walk_into(message_kind::node);
            if (number == graph_field::initializer) return walk_into(message_kind::tensor);
            if (number == graph_field::sparse_initializer) return walk_into(message_kind::sparse_tensor);
            break;
        case message_kind::node:
            if (number == node_field::attribute) return walk_into(message_kind::attribute);
            break;
        case message_kind::attribute:
            if (number == attribute_field::t || number == attribute_field::tensors) {
                return walk_into(message_kind::tensor);
            }
            if (number == attribute_field::g || number == attribute_field::graphs) return walk_into(message_kind::graph);
            if (number == attribute_field::sparse_tensor || number == attribute_field::sparse_tensors) {
                return walk_into(message_kind::sparse_tensor);
            }
            break;
        case message_kind::tensor:
            switch (number) {
                case tensor_field::float_data:
                case tensor_field::int32_data:
                case tensor_field::int64_data:
                case tensor_field::raw_data:
                case tensor_field::double_data:
                case tensor_field::uint64_data:
                    return {message_kind::none, true};
                default:
                    break;
            }
            break;
        case message_kind::sparse_tensor:
            if (number == sparse_tensor_field::values || number == sparse_tensor_field::indices) {
                return walk_into(message_kind::tensor);
            }
            break;
        case message_kind::function:
            if (number == function_field::node) return walk_into(message_kind::node);
            break;
        case message_kind::training_info:
            if (number == training_info_field::initialization || number == training_info_field::algorithm) {
                return walk_into(message_kind::graph);
            }
            break;
        case message_kind::none:
            break;
    }
    return {};
}

constexpr uint32_t max_field_number = (1u << 29) - 1;

// Reads the wire format by the rules of message_reader, asking the source
// for each range before reading it.
class structure_walker {
public:
    structure_walker(std::string_view image, byte_range_source& source)
        : data_(reinterpret_cast<const unsigned char*>(image.data())), source_(source) {}

    void walk(size_t begin, size_t end, message_kind kind, int depth) {
        if (depth > max_message_depth) throw_nesting();
        size_t pos = begin;
        while (pos < end) {
            wire_type type;
            const uint32_t number = read_tag(pos, end, type);
            const field_plan plan = plan_for(kind, number);
            switch (type) {
                case wire_type::varint: read_varint(pos, end); break;
                case wire_type::fixed64: read_fixed(pos, end, 8); break;
                case wire_type::fixed32: read_fixed(pos, end, 4); break;
                case wire_type::length_delimited: {
                    const size_t field_end = length_end(pos, end);
                    if (plan.inner != message_kind::none) {
                        walk(pos, field_end, plan.inner, depth + 1);
                    } else if (!plan.skip && field_end > pos) {
                        source_.need(pos, field_end);
                    }
                    pos = field_end;
                    break;
                }
                case wire_type::start_group: skip_group(pos, end, number, depth + 1); break;
                case wire_type::end_group: throw wire_error("end of group outside a group");
            }
        }
    }

private:
    [[noreturn]] static void throw_nesting() {
        throw wire_error("messages nested deeper than " + std::to_string(max_message_depth) + " levels");
    }

    uint64_t read_varint(size_t& pos, size_t end) {
        uint64_t result = 0;
        for (int i = 0; i < 10; ++i) {
            if (pos == end) throw wire_error("truncated varint");
            // Byte by byte: a payload may follow right after.
            source_.need(pos, pos + 1);
            const unsigned char byte = data_[pos++];
            result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
            if ((byte & 0x80) == 0) return result;
        }
        throw wire_error("varint longer than 10 bytes");
    }

    uint32_t read_tag(size_t& pos, size_t end, wire_type& type) {
        const uint64_t tag = read_varint(pos, end);
        const uint64_t number = tag >> 3;
        const auto raw_type = static_cast<uint32_t>(tag & 7);
        if (number == 0 || number > max_field_number) throw wire_error("invalid field number");
        if (raw_type > static_cast<uint32_t>(wire_type::fixed32)) throw wire_error("invalid wire type");
        type = static_cast<wire_type>(raw_type);
        return static_cast<uint32_t>(number);
    }

    void read_fixed(size_t& pos, size_t end, size_t width) {
        if (end - pos < width) throw wire_error("field runs past the end of its message");
        source_.need(pos, pos + width);
        pos += width;
    }

    // Reads a length prefix; returns where the field ends.
    size_t length_end(size_t& pos, size_t end) {
        const uint64_t length = read_varint(pos, end);
        if (length > static_cast<uint64_t>(end - pos)) throw wire_error("field runs past the end of its message");
        return pos + static_cast<size_t>(length);
    }

    void skip_group(size_t& pos, size_t end, uint32_t number, int depth) {
        if (depth > max_message_depth) throw_nesting();
        for (;;) {
            if (pos == end) throw wire_error("unterminated group");
            wire_type type;
            const uint32_t inner = read_tag(pos, end, type);
            switch (type) {
                case wire_type::varint: read_varint(pos, end); break;
                case wire_type::fixed64: read_fixed(pos, end, 8); break;
                case wire_type::fixed32: read_fixed(pos, end, 4); break;
                case wire_type::length_delimited: pos = length_end(pos, end); break;
                case wire_type::start_group: skip_group(pos, end, inner, depth + 1); break;
                case wire_type::end_group:
                    if (inner != number) throw wire_error("mismatched end of group");
                    return;
            }
        }
    }

    const unsigned char* data_;
    byte_range_source& source_;
};

}  // namespace

void walk_onnx_structure(std::string_view image, byte_range_source& source) {
    structure_walker(image, source).walk(0, image.size(), message_kind::model, 0);
}

}  // namespace runtime
