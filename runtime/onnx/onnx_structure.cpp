#include "onnx/onnx_structure.h"

#include "onnx/onnx_message_map.h"
#include "onnx/protobuf_wire.h"

namespace runtime {
namespace {

// The wire reader's source: ranges of the image, asked for by offset.
class requested_ranges {
public:
    requested_ranges(const char* image, byte_range_source& source) : image_(image), source_(&source) {}

    void need(const char* begin, const char* end) const {
        source_->need(static_cast<size_t>(begin - image_), static_cast<size_t>(end - image_));
    }

private:
    const char* image_;
    byte_range_source* source_;
};

using structure_reader = wire_reader<requested_ranges>;

// Asks for every field it does not descend into, tensor payloads aside.
// Tags, lengths and scalars the reader asked for as it read them.
struct structure_visitor {
    struct frame {};

    // A linked field of another wire type is read as any other field: the
    // verdict on it is read_onnx_model's, which sees its bytes.
    static bool follows(const wire_field& field) { return field.type == wire_type::length_delimited; }
    static frame enter(const frame&, const onnx_link&, const wire_field&) { return {}; }
    static void leave(frame&, const frame&, const onnx_link&) {}

    static void visit(frame&, onnx_message kind, const wire_field& field, const structure_reader& reader) {
        if (field.type != wire_type::length_delimited || field.bytes.empty()) return;
        if (kind == onnx_message::tensor && is_tensor_payload(field.number)) return;
        reader.source().need(field.bytes.data(), field.bytes.data() + field.bytes.size());
    }
};

}  // namespace

void walk_onnx_structure(std::string_view image, byte_range_source& source) {
    structure_reader reader(image, 0, requested_ranges(image.data(), source));
    structure_visitor visitor;
    structure_visitor::frame frame;
    walk_onnx_message(reader, onnx_message::model, visitor, frame);
}

}  // namespace runtime
