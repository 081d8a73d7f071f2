// The LearningModelBinding runtime class: the tensors bound to a session's
// inputs, checked against the inputs' declared kinds and shapes.
#pragma once

#include <onnxruntime_c_api.h>

#include <mutex>
#include <vector>

#include "com_object.h"
#include "session.h"
#include "tensor.h"

namespace runtime {

// One bound input. The OrtValue lies over the tensor's own storage (no copy),
// so the tensor is kept alive with it.
class bound_input {
public:
    bound_input() = default;
    bound_input(bound_input&& other) noexcept;
    bound_input& operator=(bound_input&& other) noexcept;
    ~bound_input();

    // Takes over `value`; null `value` with `to_half` means the tensor's
    // floats become half precision at each evaluation.
    bound_input(com_ptr<tensor_core> tensor, OrtValue* value, bool to_half) noexcept;

    bool bound() const { return static_cast<bool>(tensor_); }
    tensor_core& tensor() const { return *tensor_; }
    const OrtValue* value() const { return value_; }
    bool to_half() const { return to_half_; }

private:
    void reset() noexcept;

    com_ptr<tensor_core> tensor_;
    OrtValue* value_ = nullptr;
    bool to_half_ = false;
};

class LearningModelBinding final : public com_object<LearningModelBinding, ILearningModelBinding, IAgileObject> {
public:
    static constexpr GUID implementation_iid{0x91D34C0A, 0x6E2B, 0x4F17, {0xB8, 0x45, 0x0A, 0x7F, 0x13, 0xC6, 0x5D, 0xE2}};

    explicit LearningModelBinding(com_ptr<LearningModelSession> session);

    HRESULT Bind(HSTRING name, IUnknown* value) override;
    HRESULT Clear() override;

    const LearningModelSession* session() const { return session_.get(); }
    // Guards inputs(); held by evaluation while ONNX Runtime reads them.
    std::mutex& mutex() { return mutex_; }
    // Indexed like the session's inputs.
    const std::vector<bound_input>& inputs() const { return inputs_; }

private:
    HRESULT bind(HSTRING name, IUnknown* value);

    com_ptr<LearningModelSession> session_;
    std::mutex mutex_;
    std::vector<bound_input> inputs_;
};

}  // namespace runtime
