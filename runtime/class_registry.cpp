// The runtime's activation entry point and its table of classes.
#include "class_registry.h"

#include <string_view>

#include "com/boundary.h"
#include "com/error_info.h"
#include "com/text.h"

namespace runtime {
namespace {

struct runtime_class {
    std::u16string_view name;
    com_ptr<IActivationFactory> (*make_factory)();
};

#define QELMO_TENSOR_CLASS_ENTRY(Interface, ...) {Interface::runtime_class, &make_tensor_factory<Interface>},
constexpr runtime_class classes[] = {
    {ILearningModelStatics::runtime_class, &make_learning_model_factory},
    {ILearningModelDeviceFactory::runtime_class, &make_learning_model_device_factory},
    {ILearningModelSessionFactory::runtime_class, &make_learning_model_session_factory},
    {ILearningModelBindingFactory::runtime_class, &make_learning_model_binding_factory},
    QELMO_TENSOR_CLASSES(QELMO_TENSOR_CLASS_ENTRY)
};
#undef QELMO_TENSOR_CLASS_ENTRY

}  // namespace
}  // namespace runtime

// Hands out a new reference to the named class's factory. The factories are
// made on first request and live until the process exits: releasing them from
// static destructors could run after ONNX Runtime has been torn down.
extern "C" __attribute__((visibility("default"))) mlabi::HRESULT DllGetActivationFactory(
    mlabi::HSTRING class_name, mlabi::IActivationFactory** factory) {
    using namespace runtime;
    if (factory == nullptr) return null_out_parameter();
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
