#include "protobuf_wire.h"


namespace runtime {
namespace {

constexpr uint32_t max_field_number = (1u << 29) - 1;

std::string nesting_message() {
    return "messages nested deeper than " + std::to_string(max_message_depth) + " levels";
}

}  // namespace

message_reader::message_reader(std::string_view bytes, int depth)
    : pos_(reinterpret_cast<const unsigned char*>(bytes.data())),
      end_(reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size()),
      depth_(depth) {
    if (depth > max_message_depth) throw wire_error(nesting_message());
}

void message_reader::require(size_t count) const {
    if (static_cast<size_t>(end_ - pos_) < count) throw wire_error("field runs past the end of its message");
}

uint64_t message_reader::read_varint() {
    uint64_t result = 0;
    for (int i = 0; i < 10; ++i) {
        if (pos_ == end_) throw wire_error("truncated varint");
        const unsigned char byte = *pos_++;
        // The tenth byte can only contribute the top bit; extra bits are
        // dropped, as other parsers do.
        result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0) return result;
    }
    throw wire_error("varint longer than 10 bytes");
}

uint32_t message_reader::read_tag(wire_type& type) {
    const uint64_t tag = read_varint();
    const uint64_t number = tag >> 3;
    const uint32_t raw_type = static_cast<uint32_t>(tag & 7);
    if (number == 0 || number > max_field_number) throw wire_error("invalid field number");
    if (raw_type > static_cast<uint32_t>(wire_type::fixed32)) throw wire_error("invalid wire type");
    type = static_cast<wire_type>(raw_type);
    return static_cast<uint32_t>(number);
}

void message_reader::skip_group(uint32_t number, int depth) {
    if (depth > max_message_depth) throw wire_error(nesting_message());
    for (;;) {
        if (pos_ == end_) throw wire_error("unterminated group");
        wire_type type;
        const uint32_t inner = read_tag(type);
        switch (type) {
            case wire_type::varint: read_varint(); break;
            case wire_type::fixed64: require(8); pos_ += 8; break;
            case wire_type::fixed32: require(4); pos_ += 4; break;
            case wire_type::length_delimited: {
                const uint64_t length = read_varint();
                if (length > static_cast<uint64_t>(end_ - pos_)) throw wire_error("field runs past the end of its message");
                pos_ += length;
                break;
            }
            case wire_type::start_group: skip_group(inner, depth + 1); break;
            case wire_type::end_group:
                if (inner != number) throw wire_error("mismatched end of group");
                return;
        }
    }
}

bool message_reader::next(wire_field& field) {
    for (;;) {
        if (pos_ == end_) return false;
        field = wire_field{};
        field.number = read_tag(field.type);
        switch (field.type) {
            case wire_type::varint:
                field.value = read_varint();
                return true;
            case wire_type::fixed64:
                require(8);
                for (int i = 0; i < 8; ++i) field.value |= static_cast<uint64_t>(pos_[i]) << (8 * i);
                pos_ += 8;
                return true;
            case wire_type::fixed32:
                require(4);
                for (int i = 0; i < 4; ++i) field.value |= static_cast<uint64_t>(pos_[i]) << (8 * i);
                pos_ += 4;
                return true;
            case wire_type::length_delimited: {
                const uint64_t length = read_varint();
                // Compared as 64-bit values so a huge length cannot wrap.
                if (length > static_cast<uint64_t>(end_ - pos_)) throw wire_error("field runs past the end of its message");
                field.bytes = std::string_view(reinterpret_cast<const char*>(pos_), static_cast<size_t>(length));
                pos_ += length;
                return true;
            }
            case wire_type::start_group:
                skip_group(field.number, depth_ + 1);
                continue;
            case wire_type::end_group:
                throw wire_error("end of group outside a group");
        }
    }
}

message_reader message_reader::nested(const wire_field& field, const char* what) const {
    return message_reader(field_bytes(field, what), depth_ + 1);
}

std::string_view field_bytes(const wire_field& field, const char* what) {
    if (field.type != wire_type::length_delimited) throw wire_error(std::string("wrong wire type for ") + what);
    return field.bytes;
}

uint64_t field_varint(const wire_field& field, const char* what) {
    if (field.type != wire_type::varint) throw wire_error(std::string("wrong wire type for ") + what);
    return field.value;
}

}  // namespace runtime
