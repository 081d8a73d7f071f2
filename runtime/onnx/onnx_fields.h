// Field numbers of the ONNX protocol buffer messages the runtime looks into,
// from the ONNX message definitions.
#pragma once

#include <cstdint>

namespace runtime {
namespace onnx_fields {

namespace model_field {
constexpr uint32_t ir_version = 1, producer_name = 2, producer_version = 3, domain = 4, model_version = 5,
                   doc_string = 6, graph = 7, metadata_props = 14, training_info = 20, functions = 25;
}
namespace graph_field {
constexpr uint32_t node = 1, name = 2, initializer = 5, doc_string = 10, input = 11, output = 12,
                   sparse_initializer = 15;
}
namespace node_field {
constexpr uint32_t op_type = 4, attribute = 5, domain = 7;
}
namespace attribute_field {
constexpr uint32_t name = 1, t = 5, g = 6, tensors = 10, graphs = 11, type = 20, sparse_tensor = 22,
                   sparse_tensors = 23;
constexpr int32_t tensor_type = 4;  // AttributeType.TENSOR
constexpr int32_t last_type = 14;   // AttributeType.TYPE_PROTOS
}
namespace tensor_field {
constexpr uint32_t dims = 1, data_type = 2, float_data = 4, int32_data = 5, int64_data = 7, name = 8, raw_data = 9,
                   double_data = 10, uint64_data = 11, external_data = 13, data_location = 14;
constexpr int32_t external_location = 1;  // DataLocation.EXTERNAL
constexpr int32_t last_location = 1;
}
namespace sparse_tensor_field {
constexpr uint32_t values = 1, indices = 2;
}
namespace function_field {
constexpr uint32_t node = 7, attribute_proto = 11;
}
namespace training_info_field {
constexpr uint32_t initialization = 1, algorithm = 2;
}
namespace entry_field {
constexpr uint32_t key = 1, value = 2;
}
namespace value_info_field {
constexpr uint32_t name = 1, type = 2, doc_string = 3;
}
namespace type_field {
constexpr uint32_t tensor_type = 1, sequence_type = 4, map_type = 5, denotation = 6, opaque_type = 7,
                   sparse_tensor_type = 8, optional_type = 9;
}
namespace tensor_type_field {
constexpr uint32_t elem_type = 1, shape = 2;
}
namespace shape_field {
constexpr uint32_t dim = 1;
}
namespace dimension_field {
constexpr uint32_t dim_value = 1, dim_param = 2;
}

}  // namespace onnx_fields
}  // namespace runtime
