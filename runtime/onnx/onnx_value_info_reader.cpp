#include "onnx/onnx_value_info_reader.h"

#include <cstdint>
#include <vector>

#include "onnx/onnx_fields.h"

namespace runtime {
namespace {

using namespace onnx_fields;

void set_kind(onnx_value_info& info, onnx_value_kind kind) {
    // The type is a oneof: choosing another member drops the previous one.
    if (info.kind == kind) return;
    info.kind = kind;
    info.element_type = 0;
    info.has_shape = false;
    info.shape.clear();
}

void read_dimension(message_reader reader, onnx_dimension& dimension) {
    wire_field field;
    while (reader.next(field)) {
        switch (field.number) {
            case dimension_field::dim_value: {
                const auto value = static_cast<int64_t>(field_varint(field, "Dimension.dim_value"));
                // A negative size means nothing fixed; report it as free.
                dimension.value = value < 0 ? -1 : value;
                dimension.name.clear();
                break;
            }
            case dimension_field::dim_param:
                dimension.name = field_bytes(field, "Dimension.dim_param");
                dimension.value = -1;
                break;
            default:
                break;
        }
    }
}

void read_shape(message_reader reader, std::vector<onnx_dimension>& shape) {
    wire_field field;
    while (reader.next(field)) {
        if (field.number != shape_field::dim) continue;
        shape.emplace_back();
        read_dimension(reader.nested(field, "TensorShapeProto.dim"), shape.back());
    }
}

void read_tensor_type(message_reader reader, onnx_value_info& info) {
    wire_field field;
    while (reader.next(field)) {
        switch (field.number) {
            case tensor_type_field::elem_type:
                // An int32 field: negative values arrive sign-extended.
                info.element_type = static_cast<int32_t>(field_varint(field, "TypeProto.Tensor.elem_type"));
                break;
            case tensor_type_field::shape:
                info.has_shape = true;
                read_shape(reader.nested(field, "TypeProto.Tensor.shape"), info.shape);
                break;
            default:
                break;
        }
    }
}

void read_type(message_reader reader, onnx_value_info& info) {
    wire_field field;
    while (reader.next(field)) {
        switch (field.number) {
            case type_field::tensor_type:
                set_kind(info, onnx_value_kind::tensor);
                read_tensor_type(reader.nested(field, "TypeProto.tensor_type"), info);
                break;
            case type_field::sparse_tensor_type:
                set_kind(info, onnx_value_kind::sparse_tensor);
                read_tensor_type(reader.nested(field, "TypeProto.sparse_tensor_type"), info);
                break;
            case type_field::sequence_type:
                field_bytes(field, "TypeProto.sequence_type");
                set_kind(info, onnx_value_kind::sequence);
                break;
            case type_field::map_type:
                field_bytes(field, "TypeProto.map_type");
                set_kind(info, onnx_value_kind::map);
                break;
            case type_field::optional_type:
                field_bytes(field, "TypeProto.optional_type");
                set_kind(info, onnx_value_kind::optional);
                break;
            case type_field::opaque_type:
                field_bytes(field, "TypeProto.opaque_type");
                set_kind(info, onnx_value_kind::opaque);
                break;
            case type_field::denotation:
                info.denotation = field_bytes(field, "TypeProto.denotation");
                break;
            default:
                break;
        }
    }
}

}  // namespace

void read_value_info(message_reader reader, onnx_value_info& info) {
    wire_field field;
    while (reader.next(field)) {
        switch (field.number) {
            case value_info_field::name:
                info.name = field_bytes(field, "ValueInfoProto.name");
                break;
            case value_info_field::doc_string:
                info.doc_string = field_bytes(field, "ValueInfoProto.doc_string");
                break;
            case value_info_field::type:
                read_type(reader.nested(field, "ValueInfoProto.type"), info);
                break;
            default:
                break;
        }
    }
}

}  // namespace runtime
