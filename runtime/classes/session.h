// The LearningModelSession runtime class: an ONNX Runtime session over a
// loaded model, on a device. Made in session_creation.cpp, evaluated in
// session_evaluation.cpp.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "classes/learning_model.h"
#include "com/boundary.h"
#include "onnxruntime/onnxruntime_api.h"
#include "onnxruntime/owned_value.h"

namespace runtime {

// An input as the session declares it.
struct session_input {
    std::string name;         // for ONNX Runtime
    std::u16string name16;    // for matching the names callers bind
    bool is_tensor = false;   // false for sequence and map inputs
    TensorKind kind = TensorKind::Undefined;
    ONNXTensorElementDataType element_type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
    bool has_shape = false;      // false: any rank
    std::vector<int64_t> shape;  // -1 where the size is free
};

class LearningModelSession final : public com_object<LearningModelSession, ILearningModelSession, IAgileObject> {
public:
    static constexpr GUID implementation_iid{0x2B7C91E4, 0x0F3A, 0x4D58, {0xA6, 0x1D, 0xC4, 0x90, 0x5E, 0x27, 0xB3, 0x8F}};

    LearningModelSession(com_ptr<LearningModel> model, com_ptr<ILearningModelDevice> device, Ort::Session session,
                         std::vector<session_input> inputs, std::vector<std::string> output_names);

    HRESULT get_Model(ILearningModel** model) override;
    HRESULT get_Device(ILearningModelDevice** device) override;
    HRESULT Evaluate(ILearningModelBinding* binding, HSTRING correlation_id,
                     ILearningModelEvaluationResult** result) override;

    // Has ONNX Runtime put the outputs of later evaluations in `memory`
    // (output_memory.h) once an evaluation's outputs came to `minimum_bytes`
    // or more; an empty MemoryInfo leaves the choice to ONNX Runtime.
    void put_outputs_in(Ort::MemoryInfo memory, size_t minimum_bytes);
    // Whether the next evaluation puts its outputs in the chosen memory.
    bool outputs_in_chosen_memory() const;

    const std::vector<session_input>& inputs() const { return inputs_; }
    // Index into inputs(), or -1.
    int find_input(std::u16string_view name) const;

private:
    HRESULT evaluate(ILearningModelBinding* binding, HSTRING correlation_id, ILearningModelEvaluationResult** result);
    // One run over bound input values; fills `outputs`, in output order.
    void run(const owned_value* inputs, std::vector<owned_value>& outputs);
    void run_plainly(const owned_value* inputs, std::vector<owned_value>& outputs);
    void run_into_chosen_memory(const owned_value* inputs, std::vector<owned_value>& outputs);

    com_ptr<LearningModel> model_;
    com_ptr<ILearningModelDevice> device_;
    Ort::Session session_;
    std::vector<session_input> inputs_;
    std::unordered_map<std::u16string_view, int> input_indices_;  // names into inputs_, for binding
    std::vector<const char*> input_name_pointers_;  // into inputs_, for Run
    std::vector<std::string> output_names_;
    std::vector<const char*> output_name_pointers_;  // into output_names_, for Run
    std::vector<std::u16string> output_names16_;     // keys of the evaluation's outputs
    Ort::MemoryInfo output_memory_{nullptr};         // where outputs go; empty: ONNX Runtime's choice
    Ort::RunOptions bound_run_options_{nullptr};     // for runs with outputs bound to output_memory_
    size_t chosen_memory_minimum_ = 0;               // output bytes from which output_memory_ is used
    std::atomic<size_t> last_output_bytes_{0};       // of the latest evaluation, where output_memory_ is set
    std::atomic<bool> chosen_memory_refused_{false};  // ONNX Runtime failed a run bound to output_memory_
};

}  // namespace runtime
