// Reading a ValueInfoProto (a graph's input or output): its name, doc string
// and type, as read_onnx_model reports them.
#pragma once

#include "onnx/onnx_model.h"
#include "onnx/protobuf_wire.h"

namespace runtime {

// Reads the ValueInfoProto in `reader` into `info`; throws wire_error.
void read_value_info(message_reader reader, onnx_value_info& info);

}  // namespace runtime
