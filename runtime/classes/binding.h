// The LearningModelBinding runtime class: the tensors bound to a session's
// inputs, checked against the inputs' declared kinds and shapes, and the
// values ONNX Runtime reads for them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "classes/session.h"
#include "classes/tensor.h"
#include "com/boundary.h"
#include "onnxruntime/owned_value.h"

namespace runtime {

// One bound input: the tensor and, for a Float tensor bound to a Float16
// input, the half-precision copy ONNX Runtime reads, made again from the
// tensor at each evaluation.
struct bound_input {
    com_ptr<ITensorCore> tensor;  // null when nothing is bound
    std::unique_ptr<uint16_t[]> halves;
};

class LearningModelBinding final : public com_object<LearningModelBinding, ILearningModelBinding, IAgileObject> {
public:
    static constexpr GUID implementation_iid{0x91D34C0A, 0x6E2B, 0x4F17, {0xB8, 0x45, 0x0A, 0x7F, 0x13, 0xC6, 0x5D, 0xE2}};

    explicit LearningModelBinding(com_ptr<LearningModelSession> session);

    HRESULT Bind(HSTRING name, IUnknown* value) override;
    HRESULT Clear() override;

    const LearningModelSession* session() const { return session_.get(); }
    // Guards inputs() and values(); held by evaluation while ONNX Runtime
    // reads them.
    std::mutex& mutex() { return mutex_; }
    // Both indexed like the session's inputs. The values lie over the
    // tensors' storage (or their halves), without a copy.
    const std::vector<bound_input>& inputs() const { return inputs_; }
    const std::vector<owned_value>& values() const { return values_; }

private:
    HRESULT bind(HSTRING name, IUnknown* value);

    com_ptr<LearningModelSession> session_;
    std::mutex mutex_;
    // Values go before the tensors they lie over: declared after them.
    std::vector<bound_input> inputs_;
    std::vector<owned_value> values_;
};

}  // namespace runtime
