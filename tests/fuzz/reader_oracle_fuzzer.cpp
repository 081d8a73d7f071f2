// libFuzzer harness that holds the runtime's ONNX reader to protobuf's own
// reading of the same bytes, with ONNX's message definitions (onnx-ml.proto,
// compiled at build time): wherever the reader accepts a file, the tensors
// it finds keeping their data in other files must be exactly those protobuf
// finds, with the same entries, and the same ones counted as the main
// graph's initializers. A tensor the reader missed would reach ONNX Runtime
// unchecked. The walk on the protobuf side is generic (reflection over every
// message field), so a path to a tensor the reader does not know of shows up.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "onnx-ml.pb.h"
#include "onnx/onnx_model.h"

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// What both sides say of one tensor; compared as sorted lists.
struct found_reference {
    std::string tensor, location, offset, length;
    bool has_location = false, has_offset = false, has_length = false, main_graph_initializer = false;

    auto key() const {
        return std::tie(tensor, location, offset, length, has_location, has_offset, has_length,
                        main_graph_initializer);
    }
    bool operator<(const found_reference& other) const { return key() < other.key(); }
    bool operator==(const found_reference& other) const { return key() == other.key(); }
};

found_reference from_reader(const runtime::onnx_external_reference& reference) {
    return {reference.tensor,     reference.location,   reference.offset,     reference.length,
            reference.has_location, reference.has_offset, reference.has_length, reference.main_graph_initializer};
}

// The reader accepts a tensor only with each key at most once, so the entries
// read one way.
found_reference from_protobuf(const onnx::TensorProto& tensor, bool main_graph_initializer) {
    found_reference found;
    found.tensor = tensor.name();
    found.main_graph_initializer = main_graph_initializer;
    for (const onnx::StringStringEntryProto& entry : tensor.external_data()) {
        if (entry.key() == "location") found.location = entry.value(), found.has_location = true;
        if (entry.key() == "offset") found.offset = entry.value(), found.has_offset = true;
        if (entry.key() == "length") found.length = entry.value(), found.has_length = true;
    }
    return found;
}

// The tensors of the main graph that runtimes make initializers of: its
// initializers, and the tensor of a Constant node of the default domain whose
// one attribute is that tensor.
std::vector<const onnx::TensorProto*> main_graph_initializers(const onnx::ModelProto& model) {
    std::vector<const onnx::TensorProto*> tensors;
    for (const onnx::TensorProto& tensor : model.graph().initializer()) tensors.push_back(&tensor);
    for (const onnx::NodeProto& node : model.graph().node()) {
        if (node.op_type() != "Constant" || !node.domain().empty() || node.attribute_size() != 1) continue;
        const onnx::AttributeProto& attribute = node.attribute(0);
        if (attribute.type() == onnx::AttributeProto::TENSOR && attribute.has_t()) tensors.push_back(&attribute.t());
    }
    return tensors;
}

// Every TensorProto anywhere in `message` whose data is external.
void collect(const Message& message, const std::vector<const onnx::TensorProto*>& initializers,
             std::vector<found_reference>& found) {
    if (const auto* tensor = dynamic_cast<const onnx::TensorProto*>(&message)) {
        if (tensor->data_location() == onnx::TensorProto::EXTERNAL) {
            const bool initializer = std::find(initializers.begin(), initializers.end(), tensor) != initializers.end();
            found.push_back(from_protobuf(*tensor, initializer));
        }
    }
    const Reflection* reflection = message.GetReflection();
    std::vector<const FieldDescriptor*> fields;
    reflection->ListFields(message, &fields);
    for (const FieldDescriptor* field : fields) {
        if (field->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) continue;
        if (field->is_repeated()) {
            for (int i = 0; i < reflection->FieldSize(message, field); ++i) {
                collect(reflection->GetRepeatedMessage(message, field, i), initializers, found);
            }
        } else {
            collect(reflection->GetMessage(message, field), initializers, found);
        }
    }
}

void print(const char* side, const std::vector<found_reference>& references) {
    std::fprintf(stderr, "%s finds %zu:\n", side, references.size());
    for (const found_reference& r : references) {
        std::fprintf(stderr, "  tensor '%s' location '%s'%s offset '%s' length '%s'%s\n", r.tensor.c_str(),
                     r.location.c_str(), r.has_location ? "" : " (none)", r.offset.c_str(), r.length.c_str(),
                     r.main_graph_initializer ? " [main graph initializer]" : "");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    runtime::onnx_model model;
    std::string error;
    // A file the reader refuses reaches no runtime.
    if (runtime::read_onnx_model(bytes, model, error) != runtime::onnx_read_status::ok) return 0;

    onnx::ModelProto parsed;
    // Nor one that protobuf refuses: ONNX Runtime refuses it too.
    if (size > static_cast<size_t>(INT32_MAX) || !parsed.ParseFromArray(data, static_cast<int>(size))) return 0;

    std::vector<found_reference> by_protobuf;
    collect(parsed, main_graph_initializers(parsed), by_protobuf);
    std::vector<found_reference> by_reader;
    for (const runtime::onnx_external_reference& reference : model.external_data) {
        by_reader.push_back(from_reader(reference));
    }
    std::sort(by_protobuf.begin(), by_protobuf.end());
    std::sort(by_reader.begin(), by_reader.end());
    if (by_reader != by_protobuf || model.has_external_data != !by_protobuf.empty()) {
        print("the reader", by_reader);
        print("protobuf", by_protobuf);
        std::abort();
    }
    return 0;
}
