#include "classes/device.h"

#include <string>
#include <utility>

#include "class_registry.h"
#include "com/class_factory.h"
#include "onnxruntime/gpu_probe.h"
#include "onnxruntime/onnxruntime_library.h"

namespace runtime {
namespace {

bool is_gpu_kind(LearningModelDeviceKind kind) {
    return kind == LearningModelDeviceKind::DirectX || kind == LearningModelDeviceKind::DirectXHighPerformance ||
           kind == LearningModelDeviceKind::DirectXMinPower;
}

class device_factory final : public class_factory<device_factory, ILearningModelDeviceFactory> {
public:
    static constexpr const char* how_to_make = "devices are made with LearningModelDevice.Create";

    HRESULT Create(LearningModelDeviceKind kind, ILearningModelDevice** device) override {
        if (device == nullptr) return null_out_parameter();
        *device = nullptr;
        const auto value = static_cast<int32_t>(kind);
        if (value < 0 || value > static_cast<int32_t>(LearningModelDeviceKind::DirectXMinPower)) {
            return fail(E_INVALIDARG, "no device kind " + std::to_string(value) + " (the kinds are 0 to 4)");
        }
        return at_boundary("out of memory creating a device", "creating a device failed unexpectedly", [&] {
            bool is_gpu = false;
            std::string reason;
            if (is_gpu_kind(kind)) {
                // Only a GPU device probes the GPU. An ONNX Runtime that cannot
                // be loaded is reported when a session is made on the device.
                const onnxruntime* loaded = nullptr;
                if (succeeded(load_onnxruntime(&loaded))) {
                    const gpu_availability& gpu = probe_gpu();
                    is_gpu = gpu.usable;
                    reason = gpu.reason;
                } else {
                    reason = onnxruntime_load_failure();
                    clear_error();
                }
            }
            *device = made_as<ILearningModelDevice>(LearningModelDevice::make(kind, is_gpu, std::move(reason))).detach();
            return S_OK;
        });
    }
};

}  // namespace

bool LearningModelDevice::wants_gpu() const { return is_gpu_kind(kind_); }

com_ptr<ILearningModelDevice> LearningModelDevice::fallen_back(LearningModelDeviceKind kind, std::string reason) {
    return made_as<ILearningModelDevice>(make(kind, false, std::move(reason)));
}

com_ptr<IActivationFactory> make_learning_model_device_factory() { return shared_factory<device_factory>(); }

}  // namespace runtime
