// A bounds-checked reader of the protocol buffer wire format: fields of one
// message, one at a time, as views into the caller's bytes (nothing copied).
// Malformed input throws wire_error; the reader never reads outside its view.
//
// The reader tells its Source about each range just before reading it, so
// that the same rules serve bytes held in memory (bytes_in_memory, which
// does nothing) and an image whose bytes are fetched on request. A
// length-delimited payload is only passed over: whoever uses it asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace runtime {

class wire_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class wire_type : uint32_t {
    varint = 0,
    fixed64 = 1,
    length_delimited = 2,
    start_group = 3,
    end_group = 4,
    fixed32 = 5,
};

// Messages nested deeper than this are refused, so hostile input cannot
// exhaust the stack. Matches the usual limit of protocol buffer parsers.
constexpr int max_message_depth = 100;

struct wire_field {
    uint32_t number = 0;
    wire_type type = wire_type::varint;
    uint64_t value = 0;          // varint, fixed64 and fixed32 payloads
    std::string_view bytes;      // length_delimited payload
};

// What can be wrong with the bytes; each has its own wire_error message.
enum class wire_fault {
    truncated_varint,
    overlong_varint,
    past_end,
    bad_field_number,
    bad_wire_type,
    too_deep,
    unterminated_group,
    mismatched_group_end,
    stray_group_end,
};

// Out of line, so that the readers' loops stay small.
[[noreturn]] void throw_wire_fault(wire_fault fault);

// The source of bytes already in memory: nothing to ask for.
struct bytes_in_memory {
    void need(const char*, const char*) const {}
};

template <class Source>
class wire_reader {
public:
    // `depth`: how many messages enclose this one (the outermost is 0).
    // `source` is told about each range before it is read.
    wire_reader(std::string_view bytes, int depth, Source source = Source())
        : pos_(bytes.data()), end_(bytes.data() + bytes.size()), depth_(depth), source_(source) {
        if (depth > max_message_depth) throw_wire_fault(wire_fault::too_deep);
    }

    // Reads the next field; false at the end of the message. Groups (a wire
    // form no ONNX field uses) are skipped whole and never returned.
    bool next(wire_field& field) {
        for (;;) {
            if (pos_ == end_) return false;
            field = wire_field{};
            field.number = read_tag(field.type);
            if (field.type == wire_type::end_group) throw_wire_fault(wire_fault::stray_group_end);
            read_value(field, depth_ + 1);
            if (field.type != wire_type::start_group) return true;
        }
    }

    // The reader for a length-delimited field holding a nested message.
    wire_reader nested(const wire_field& field, const char* what) const;

    // Where the next field starts (the end of the last one read).
    const char* position() const { return pos_; }

    const Source& source() const { return source_; }

private:
    uint64_t read_varint() {
        uint64_t result = 0;
        for (int i = 0; i < 10; ++i) {
            if (pos_ == end_) throw_wire_fault(wire_fault::truncated_varint);
            // Byte by byte: a payload the source has not supplied may follow.
            source_.need(pos_, pos_ + 1);
            const auto byte = static_cast<unsigned char>(*pos_++);
            // The tenth byte can only contribute the top bit; extra bits are
            // dropped, as other parsers do.
            result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
            if ((byte & 0x80) == 0) return result;
        }
        throw_wire_fault(wire_fault::overlong_varint);
    }

    uint32_t read_tag(wire_type& type) {
        constexpr uint64_t max_field_number = (uint64_t{1} << 29) - 1;
        const uint64_t tag = read_varint();
        const uint64_t number = tag >> 3;
        const auto raw_type = static_cast<uint32_t>(tag & 7);
        if (number == 0 || number > max_field_number) throw_wire_fault(wire_fault::bad_field_number);
        if (raw_type > static_cast<uint32_t>(wire_type::fixed32)) throw_wire_fault(wire_fault::bad_wire_type);
        type = static_cast<wire_type>(raw_type);
        return static_cast<uint32_t>(number);
    }

    uint64_t read_fixed(size_t width) {
        if (static_cast<size_t>(end_ - pos_) < width) throw_wire_fault(wire_fault::past_end);
        source_.need(pos_, pos_ + width);
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(pos_[i])) << (8 * i);
        pos_ += width;
        return value;
    }

    std::string_view pass_length_delimited() {
        const uint64_t length = read_varint();
        // Compared as 64-bit values so a huge length cannot wrap.
        if (length > static_cast<uint64_t>(end_ - pos_)) throw_wire_fault(wire_fault::past_end);
        const std::string_view payload(pos_, static_cast<size_t>(length));
        pos_ += length;
        return payload;
    }

    // Reads the value after `field`'s tag; a group is skipped, its contents
    // nested `group_depth` deep. End of group is the caller's to handle.
    // Inlined: it is most of the work of next().
    [[gnu::always_inline]] void read_value(wire_field& field, int group_depth) {
        switch (field.type) {
            case wire_type::varint: field.value = read_varint(); break;
            case wire_type::fixed64: field.value = read_fixed(8); break;
            case wire_type::fixed32: field.value = read_fixed(4); break;
            case wire_type::length_delimited: field.bytes = pass_length_delimited(); break;
            case wire_type::start_group: skip_group(field.number, group_depth); break;
            case wire_type::end_group: break;
        }
    }

    // Out of line: groups are rare.
    [[gnu::noinline]] void skip_group(uint32_t number, int depth) {
        if (depth > max_message_depth) throw_wire_fault(wire_fault::too_deep);
        for (;;) {
            if (pos_ == end_) throw_wire_fault(wire_fault::unterminated_group);
            wire_field inner;
            inner.number = read_tag(inner.type);
            if (inner.type == wire_type::end_group) {
                if (inner.number != number) throw_wire_fault(wire_fault::mismatched_group_end);
                return;
            }
            read_value(inner, depth + 1);
        }
    }

    const char* pos_;
    const char* end_;
    int depth_;
    Source source_;
};

// The reader of messages whose bytes are all in memory.
using message_reader = wire_reader<bytes_in_memory>;

// Payload accessors for known fields; a field of the wrong wire type makes
// the message malformed. `what` names the field in the error.
std::string_view field_bytes(const wire_field& field, const char* what);
uint64_t field_varint(const wire_field& field, const char* what);

// An int32 or enumeration field as protobuf reads one: the varint's low 32
// bits, as a signed number (2^32 + 1 reads as 1).
int32_t field_int32(const wire_field& field, const char* what);

// A field of a closed enumeration whose values are 0 to `last` (every ONNX
// enumeration: the ONNX files are proto2), as protobuf reads one: a known
// value sets the field; an unknown one goes to the unknown fields and leaves
// the field as it was, which is what false means here.
bool field_enum(const wire_field& field, const char* what, int32_t last, int32_t& value);

template <class Source>
wire_reader<Source> wire_reader<Source>::nested(const wire_field& field, const char* what) const {
    return wire_reader(field_bytes(field, what), depth_ + 1, source_);
}

}  // namespace runtime
