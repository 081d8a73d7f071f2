#include "onnx/external_data_rewrite.h"

#include <algorithm>
#include <utility>

#include "onnx/element_types.h"
#include "onnx/onnx_fields.h"
#include "onnx/onnx_message_map.h"
#include "onnx/protobuf_wire.h"

namespace runtime {
namespace {

using namespace onnx_fields;

void append_varint(std::string& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

void append_bytes_field(std::string& out, uint32_t number, std::string_view bytes) {
    append_varint(out, (uint64_t{number} << 3) | static_cast<uint32_t>(wire_type::length_delimited));
    append_varint(out, bytes.size());
    out.append(bytes);
}

class rewriter {
public:
    rewriter(std::string_view model, std::vector<tensor_rewrite> rewrites)
        : model_(model), rewrites_(std::move(rewrites)) {
        std::sort(rewrites_.begin(), rewrites_.end(),
                  [](const tensor_rewrite& a, const tensor_rewrite& b) { return a.begin < b.begin; });
    }

    // Copies the `kind` message in `reader` (its bytes `bytes`), descending
    // only into the fields that hold a changed tensor.
    void copy(message_reader reader, std::string_view bytes, onnx_message kind, std::string& out) const {
        const char* copied = bytes.data();  // the end of what is in `out`
        wire_field field;
        for (const char* start = reader.position(); reader.next(field); start = reader.position()) {
            const onnx_link* link = onnx_link_for(kind, field.number);
            if (link == nullptr || field.type != wire_type::length_delimited) continue;
            const tensor_rewrite* first = first_inside(field.bytes);
            if (first == nullptr) continue;
            out.append(copied, start);
            std::string inner;
            if (link->inner == onnx_message::tensor && offset_of(field.bytes.data()) == first->begin) {
                rewrite_tensor(reader.nested(field, link->name), *first, inner);
            } else {
                copy(reader.nested(field, link->name), field.bytes, link->inner, inner);
            }
            append_bytes_field(out, field.number, inner);
            copied = reader.position();
        }
        out.append(copied, bytes.data() + bytes.size());
    }

private:
    uint64_t offset_of(const char* at) const { return static_cast<uint64_t>(at - model_.data()); }

    // The first rewrite of a tensor inside `bytes`, or null.
    const tensor_rewrite* first_inside(std::string_view bytes) const {
        const uint64_t begin = offset_of(bytes.data());
        auto found = std::lower_bound(rewrites_.begin(), rewrites_.end(), begin,
                                      [](const tensor_rewrite& r, uint64_t at) { return r.begin < at; });
        return found != rewrites_.end() && found->end <= begin + bytes.size() ? &*found : nullptr;
    }

    static void rewrite_tensor(message_reader reader, const tensor_rewrite& change, std::string& out) {
        const bool relocate = !change.location.empty();
        wire_field field;
        for (const char* start = reader.position(); reader.next(field); start = reader.position()) {
            const bool dropped = relocate ? field.number == tensor_field::external_data
                                          : field.number == tensor_field::external_data ||
                                                field.number == tensor_field::data_location ||
                                                is_tensor_payload(field.number);
            if (relocate && field.number == tensor_field::external_data) keep_entry_unless_location(field, out);
            if (!dropped) out.append(start, reader.position());
        }
        if (relocate) {
            std::string entry;
            append_bytes_field(entry, entry_field::key, "location");
            append_bytes_field(entry, entry_field::value, change.location);
            append_bytes_field(out, tensor_field::external_data, entry);
        } else {
            append_bytes_field(out, tensor_field::raw_data, change.data);
        }
    }

    static void keep_entry_unless_location(const wire_field& field, std::string& out) {
        message_reader entry(field_bytes(field, "TensorProto.external_data"), 0);
        std::string_view key;
        wire_field inner;
        while (entry.next(inner)) {
            if (inner.number == entry_field::key) key = field_bytes(inner, "StringStringEntryProto.key");
        }
        if (key != "location") append_bytes_field(out, field.number, field.bytes);
    }

    std::string_view model_;
    std::vector<tensor_rewrite> rewrites_;
};

// Reads one varint of a packed field; false at the end or on bad bytes.
bool next_packed(std::string_view& bytes, uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64 && !bytes.empty(); shift += 7) {
        const auto byte = static_cast<unsigned char>(bytes.front());
        bytes.remove_prefix(1);
        value |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return true;
    }
    return false;
}

bool multiply(uint64_t& total, uint64_t factor) {
    // Dimensions are int64: a negative one reads as a huge number and fails here.
    constexpr auto largest = static_cast<uint64_t>(INT64_MAX);
    if (factor > largest || (factor != 0 && total > largest / factor)) return false;
    total *= factor;
    return true;
}

}  // namespace

std::string rewrite_tensors(std::string_view model, std::vector<tensor_rewrite> rewrites) {
    std::string out;
    const rewriter writer(model, std::move(rewrites));
    writer.copy(message_reader(model, 0), model, onnx_message::model, out);
    return out;
}

bool tensor_data_size(std::string_view tensor, uint64_t& size) {
    message_reader reader(tensor, 0);
    uint64_t count = 1;
    int32_t type = 0;
    wire_field field;
    while (reader.next(field)) {
        if (field.number == tensor_field::data_type && field.type == wire_type::varint) {
            type = field_int32(field, "TensorProto.data_type");
        } else if (field.number == tensor_field::dims && field.type == wire_type::varint) {
            if (!multiply(count, field.value)) return false;
        } else if (field.number == tensor_field::dims && field.type == wire_type::length_delimited) {
            std::string_view packed = field.bytes;
            uint64_t dimension = 0;
            while (!packed.empty()) {
                if (!next_packed(packed, dimension) || !multiply(count, dimension)) return false;
            }
        }
    }
    const size_t element = type > 0 ? element_size(tensor_kind_from_onnx(type)) : 0;
    if (element == 0 || !multiply(count, element)) return false;
    size = count;
    return true;
}

}  // namespace runtime
