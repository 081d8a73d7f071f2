#include "classes/output_memory.h"

#include <exception>

namespace runtime {
namespace {

// The name ONNX Runtime gives the CUDA provider's page-locked host memory.
constexpr const char* page_locked_memory_name = "CudaPinned";

bool every_output_is_a_numeric_tensor(const Ort::Session& session) {
    for (size_t i = 0, count = session.GetOutputCount(); i < count; ++i) {
        const Ort::TypeInfo type = session.GetOutputTypeInfo(i);
        if (type.GetONNXType() != ONNX_TYPE_TENSOR) return false;
        const ONNXTensorElementDataType element = type.GetTensorTypeAndShapeInfo().GetElementType();
        if (element == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING || element == ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED) {
            return false;
        }
    }
    return true;
}

}  // namespace

Ort::MemoryInfo page_locked_output_memory(Ort::Session& session) noexcept {
    try {
        if (!every_output_is_a_numeric_tensor(session)) return Ort::MemoryInfo{nullptr};
        Ort::MemoryInfo memory(page_locked_memory_name, OrtDeviceAllocator, 0, OrtMemTypeCPUOutput);
        // Outputs bound to this memory are allocated by the session's own
        // allocator for it; a session without one would fail every evaluation.
        const Ort::Allocator allocator(session, memory);
        return memory;
    } catch (const std::exception&) {  // Ort::Exception among them: the ordinary path serves
        return Ort::MemoryInfo{nullptr};
    }
}

}  // namespace runtime
