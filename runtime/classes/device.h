// The LearningModelDevice runtime class: where a session runs. The CPU kinds
// run on the CPU; the DirectX kinds run on ONNX Runtime's CUDA provider when
// it can start here, and otherwise fall back to the CPU, so that asking for
// a GPU works on every machine. A device that fell back says so: IsGpu is
// false and fallback_reason() says why.
#pragma once

#include <string>

#include "com/boundary.h"

namespace runtime {

class LearningModelDevice final : public com_object<LearningModelDevice, ILearningModelDevice, IAgileObject> {
public:
    static constexpr GUID implementation_iid{0x6E0D2B91, 0x4C7A, 0x4F13, {0x8D, 0x25, 0x1B, 0x9E, 0x70, 0xA4, 0xC3, 0x5F}};

    LearningModelDevice(LearningModelDeviceKind kind, bool is_gpu, std::string fallback_reason)
        : kind_(kind), is_gpu_(is_gpu), fallback_reason_(std::move(fallback_reason)) {}

    HRESULT get_Kind(LearningModelDeviceKind* kind) override { return hand_out_value(kind_, kind); }
    HRESULT get_IsGpu(bool* is_gpu) override { return hand_out_value(is_gpu_, is_gpu); }

    bool is_gpu() const { return is_gpu_; }
    bool wants_gpu() const;
    // Why a device that asked for the GPU runs on the CPU; "" otherwise.
    const std::string& fallback_reason() const { return fallback_reason_; }

    // The CPU device that a session on this device falls back to.
    static com_ptr<ILearningModelDevice> fallen_back(LearningModelDeviceKind kind, std::string reason);

private:
    const LearningModelDeviceKind kind_;
    const bool is_gpu_;
    const std::string fallback_reason_;
};

}  // namespace runtime
