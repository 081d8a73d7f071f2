// LearningModelDevice: where a session runs. The CPU kinds run on the CPU; the
// DirectX kinds run on ONNX Runtime's CUDA provider when the loaded ONNX
// Runtime has one, and otherwise fall back to the CPU, so that asking for a
// GPU works on every machine.
#include <string>

#include "class_factory.h"
#include "class_registry.h"
#include "onnxruntime_library.h"

namespace runtime {
namespace {

class LearningModelDevice final : public com_object<LearningModelDevice, ILearningModelDevice, IAgileObject> {
public:
    LearningModelDevice(LearningModelDeviceKind kind, bool is_gpu) : kind_(kind), is_gpu_(is_gpu) {}

    HRESULT get_Kind(LearningModelDeviceKind* kind) override { return hand_out_value(kind_, kind); }
    HRESULT get_IsGpu(bool* is_gpu) override { return hand_out_value(is_gpu_, is_gpu); }

private:
    const LearningModelDeviceKind kind_;
    const bool is_gpu_;
};

bool wants_gpu(LearningModelDeviceKind kind) {
    return kind == LearningModelDeviceKind::DirectX || kind == LearningModelDeviceKind::DirectXHighPerformance ||
           kind == LearningModelDeviceKind::DirectXMinPower;
}

class device_factory final : public class_factory<device_factory, ILearningModelDeviceFactory> {
public:
    static constexpr const char* how_to_make = "devices are made with LearningModelDevice.Create";

    HRESULT Create(LearningModelDeviceKind kind, ILearningModelDevice** device) override {
        if (device == nullptr) return fail(E_POINTER, "null out-parameter");
        *device = nullptr;
        const auto value = static_cast<int32_t>(kind);
        if (value < 0 || value > static_cast<int32_t>(LearningModelDeviceKind::DirectXMinPower)) {
            return fail(E_INVALIDARG, "no device kind " + std::to_string(value) + " (the kinds are 0 to 4)");
        }
        bool is_gpu = false;
        if (wants_gpu(kind)) {
            // An ONNX Runtime that cannot be loaded is reported when a
            // session is made on the device, with the reason.
            const onnxruntime* loaded = nullptr;
            if (succeeded(load_onnxruntime(&loaded))) {
                is_gpu = onnxruntime_offers_gpu();
            } else {
                clear_error();
            }
        }
        auto made = LearningModelDevice::make(kind, is_gpu);
        if (!made) return fail(E_OUTOFMEMORY, "out of memory creating a device");
        *device = made.detach();
        return S_OK;
    }
};

}  // namespace

com_ptr<IActivationFactory> make_learning_model_device_factory() { return shared_factory<device_factory>(); }

}  // namespace runtime
