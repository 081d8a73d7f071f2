// A bounds-checked reader of the protocol buffer wire format: fields of one
// message, one at a time, as views into the caller's bytes (nothing copied).
// Malformed input throws wire_error; the reader never reads outside its view.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
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

class message_reader {
public:
    // `depth`: how many messages enclose this one (the outermost is 0).
    message_reader(std::string_view bytes, int depth);

    // Reads the next field; false at the end of the message. Groups (a wire
    // form no ONNX field uses) are skipped whole and never returned.
    bool next(wire_field& field);

    // The reader for a length-delimited field holding a nested message.
    message_reader nested(const wire_field& field, const char* what) const;

    int depth() const { return depth_; }

private:
    uint64_t read_varint();
    uint32_t read_tag(wire_type& type);
    void skip_group(uint32_t number, int depth);
    void require(size_t count) const;

    const unsigned char* pos_;
    const unsigned char* end_;
    int depth_;
};

// Payload accessors for known fields; a field of the wrong wire type makes
// the message malformed. `what` names the field in the error.
std::string_view field_bytes(const wire_field& field, const char* what);
uint64_t field_varint(const wire_field& field, const char* what);

}  // namespace runtime
