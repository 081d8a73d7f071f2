#include "onnx/file_kind.h"

#include <cstdint>

#include "onnx/protobuf_wire.h"

namespace runtime {
namespace {

// Enough to tell text and magic numbers apart; a large file's unread blocks
// are zeros (model_file), but its first block is always read.
constexpr size_t head_size = 4096;

bool starts_with(std::string_view bytes, std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; }

// Valid UTF-8 without control characters other than whitespace; a character
// cut at the end of the head passes.
bool looks_like_text(std::string_view head) {
    size_t i = 0;
    while (i < head.size()) {
        const auto byte = static_cast<unsigned char>(head[i]);
        if (byte < 0x80) {
            if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r' && byte != '\f' && byte != '\v') return false;
            if (byte == 0x7F) return false;
            ++i;
            continue;
        }
        const size_t length = byte >= 0xF0 && byte <= 0xF4 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 && byte < 0xE0 ? 2 : 0;
        if (length == 0 || byte > 0xF4) return false;
        for (size_t k = 1; k < length; ++k) {
            if (i + k == head.size()) return true;
            if ((static_cast<unsigned char>(head[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

// Top-level fields that a TensorProto has and a ModelProto does not: its
// element type (field 2) as a varint, where a model keeps a string. Every
// field read must be one a tensor has; reading stops at the first damage
// (or at the zeros of a large file's unread blocks).
bool looks_like_tensor_proto(std::string_view bytes) {
    constexpr uint32_t last_tensor_field = 14;  // data_location
    constexpr uint64_t last_element_type = 23;
    bool has_element_type = false;
    try {
        message_reader reader(bytes, 0);
        wire_field field;
        while (reader.next(field)) {
            if (field.number > last_tensor_field) return false;
            if (field.number == 2) {
                if (field.type != wire_type::varint || field.value == 0 || field.value > last_element_type) return false;
                has_element_type = true;
            }
        }
    } catch (const wire_error&) {
    }
    return has_element_type;
}

}  // namespace

std::string file_kind_guess(std::string_view bytes) {
    const std::string_view head = bytes.substr(0, head_size);
    if (head.empty()) return {};
    if (starts_with(head, "\x93NUMPY")) return "a numpy .npy array file";
    if (starts_with(head, "PK\x03\x04") || starts_with(head, "PK\x05\x06")) {
        return "a zip archive (such as a numpy .npz file or a PyTorch checkpoint)";
    }
    if (head.size() >= 2 && head[0] == '\x80' && head[1] >= 2 && head[1] <= 5) {
        return "a Python pickle (such as a PyTorch or scikit-learn file)";
    }
    if (starts_with(head, std::string_view("\x89HDF\r\n\x1a\n", 8))) return "an HDF5 file (such as a Keras model)";
    if (looks_like_text(head)) return "text";
    if (looks_like_tensor_proto(bytes)) return "an ONNX TensorProto file, which holds a tensor, not a model";
    return {};
}

std::string not_a_model_message(std::string_view bytes, const std::string& reason, const std::string& path) {
    const std::string kind = file_kind_guess(bytes);
    if (kind.empty()) return "not an ONNX model: " + reason + " (" + path + ")";
    return "not an ONNX model: " + path + " looks like " + kind + " (ONNX reader: " + reason + ")";
}

}  // namespace runtime
