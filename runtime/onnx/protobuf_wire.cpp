#include "onnx/protobuf_wire.h"

#include <string>

namespace runtime {

void throw_wire_fault(wire_fault fault) {
    switch (fault) {
        case wire_fault::truncated_varint: throw wire_error("truncated varint");
        case wire_fault::overlong_varint: throw wire_error("varint longer than 10 bytes");
        case wire_fault::past_end: throw wire_error("field runs past the end of its message");
        case wire_fault::bad_field_number: throw wire_error("invalid field number");
        case wire_fault::bad_wire_type: throw wire_error("invalid wire type");
        case wire_fault::too_deep:
            throw wire_error("messages nested deeper than " + std::to_string(max_message_depth) + " levels");
        case wire_fault::unterminated_group: throw wire_error("unterminated group");
        case wire_fault::mismatched_group_end: throw wire_error("mismatched end of group");
        case wire_fault::stray_group_end: throw wire_error("end of group outside a group");
    }
    throw wire_error("malformed bytes");
}

std::string_view field_bytes(const wire_field& field, const char* what) {
    if (field.type != wire_type::length_delimited) throw wire_error(std::string("wrong wire type for ") + what);
    return field.bytes;
}

uint64_t field_varint(const wire_field& field, const char* what) {
    if (field.type != wire_type::varint) throw wire_error(std::string("wrong wire type for ") + what);
    return field.value;
}

int32_t field_int32(const wire_field& field, const char* what) {
    return static_cast<int32_t>(static_cast<uint32_t>(field_varint(field, what)));
}

bool field_enum(const wire_field& field, const char* what, int32_t last, int32_t& value) {
    const int32_t read = field_int32(field, what);
    if (read < 0 || read > last) return false;
    value = read;
    return true;
}

}  // namespace runtime
