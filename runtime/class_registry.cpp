// The runtime's activation entry point and its table of classes.
#include "class_registry.h"

#include <string_view>

#include "com_object.h"
#include "error_info.h"
#include "text.h"

namespace runtime {
namespace {

struct runtime_class {
    std::u16string_view name;
    com_ptr<IActivationFactory> (*make_factory)();
};

constexpr runtime_class classes[] = {
    {u"Windows.AI.MachineLearning.LearningModel", &make_learning_model_factory},
    {u"Windows.AI.MachineLearning.LearningModelDevice", &make_learning_model_device_factory},
    {u"Windows.AI.MachineLearning.LearningModelSession", &make_learning_model_session_factory},
    {u"Windows.AI.MachineLearning.LearningModelBinding", &make_learning_model_binding_factory},
    {u"Windows.AI.MachineLearning.TensorFloat", &make_tensor_factory<ITensorFloat>},
    {u"Windows.AI.MachineLearning.TensorFloat16Bit", &make_tensor_factory<ITensorFloat16Bit>},
    {u"Windows.AI.MachineLearning.TensorDouble", &make_tensor_factory<ITensorDouble>},
    {u"Windows.AI.MachineLearning.TensorInt8Bit", &make_tensor_factory<ITensorInt8Bit>},
    {u"Windows.AI.MachineLearning.TensorUInt8Bit", &make_tensor_factory<ITensorUInt8Bit>},
    {u"Windows.AI.MachineLearning.TensorInt16Bit", &make_tensor_factory<ITensorInt16Bit>},
    {u"Windows.AI.MachineLearning.TensorUInt16Bit", &make_tensor_factory<ITensorUInt16Bit>},
    {u"Windows.AI.MachineLearning.TensorInt32Bit", &make_tensor_factory<ITensorInt32Bit>},
    {u"Windows.AI.MachineLearning.TensorUInt32Bit", &make_tensor_factory<ITensorUInt32Bit>},
    {u"Windows.AI.MachineLearning.TensorInt64Bit", &make_tensor_factory<ITensorInt64Bit>},
    {u"Windows.AI.MachineLearning.TensorUInt64Bit", &make_tensor_factory<ITensorUInt64Bit>},
};

}  // namespace
}  // namespace runtime

// Hands out a new reference to the named class's factory. The factories are
// made on first request and live until the process exits: releasing them from
// static destructors could run after ONNX Runtime has been torn down.
extern "C" __attribute__((visibility("default"))) mlabi::HRESULT DllGetActivationFactory(
    mlabi::HSTRING class_name, mlabi::IActivationFactory** factory) {
    using namespace runtime;
    if (factory == nullptr) return E_POINTER;
    *factory = nullptr;
    const std::u16string_view name = hstring_view(class_name);
    for (const runtime_class& entry : classes) {
        if (entry.name != name) continue;
        com_ptr<IActivationFactory> made = entry.make_factory();
        if (!made) return fail(E_OUTOFMEMORY, "out of memory creating an activation factory");
        *factory = made.detach();
        return S_OK;
    }
    return fail(CLASS_E_CLASSNOTAVAILABLE, "no runtime class named " + utf16_to_utf8(name));
}
