// Finding the bytes of a serialised ONNX ModelProto that read_onnx_model
// looks at, without touching tensor payloads, so that a large model file can
// be read in part: its structure now, its weights when a session needs them.
#pragma once

#include <cstddef>
#include <string_view>

namespace runtime {

// Supplies the bytes of a partly read model image on request.
class byte_range_source {
public:
    // Makes bytes [begin, end) of the image valid; may throw to end the walk.
    virtual void need(size_t begin, size_t end) = 0;

protected:
    ~byte_range_source() = default;
};

// Walks the ModelProto in `image`, of which only the ranges `source` has
// supplied hold the file's bytes, asking for every range read_onnx_model
// reads before reading it: each tag, length and scalar, and whole fields,
// except the messages it descends into (those of onnx_message_map.h) and the
// numeric and raw payloads of tensors, which are skipped unread. Throws
// wire_error when the walk finds the bytes malformed (read_onnx_model fails
// on them as well).
void walk_onnx_structure(std::string_view image, byte_range_source& source);

}  // namespace runtime
