// LearningModelSession.Evaluate: checks the binding, brings half-precision
// copies up to date and runs the session once.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "abi_support/float16.h"
#include "classes/binding.h"
#include "classes/evaluation_result.h"
#include "classes/session.h"
#include "com/text.h"
#include "onnx/element_types.h"
#include "onnxruntime/onnxruntime_library.h"

namespace runtime {

HRESULT LearningModelSession::Evaluate(ILearningModelBinding* binding, HSTRING correlation_id,
                                       ILearningModelEvaluationResult** result) {
    if (result == nullptr) return null_out_parameter();
    *result = nullptr;
    return at_boundary("out of memory evaluating the model", "evaluation failed unexpectedly",
                       [&] { return evaluate(binding, correlation_id, result); });
}

HRESULT LearningModelSession::evaluate(ILearningModelBinding* binding, HSTRING correlation_id,
                                       ILearningModelEvaluationResult** result) {
    if (binding == nullptr) return fail(E_POINTER, "Evaluate: the binding is null");
    com_ptr<LearningModelBinding> bound = implementation_of<LearningModelBinding>(binding);
    if (!bound || bound->session() != this) {
        return fail(E_INVALIDARG, "Evaluate: the binding was not made for this session");
    }
    const onnxruntime* loaded = nullptr;
    if (HRESULT hr = load_onnxruntime(&loaded); failed(hr)) return hr;

    std::lock_guard<std::mutex> lock(bound->mutex());
    for (size_t i = 0; i < inputs_.size(); ++i) {
        const bound_input& input = bound->inputs()[i];
        // Every input the session lists is required (initializers are not listed).
        if (!input.tensor) return fail(E_INVALIDARG, "input '" + inputs_[i].name + "' has no value bound");
        if (input.halves) {
            const tensor_core& tensor = input.tensor->core();
            floats_to_halves(static_cast<const float*>(tensor.data()), input.halves.get(), tensor.element_count());
        }
    }

    std::vector<owned_value> outputs(output_names_.size());
    // ONNX Runtime refuses to run for no outputs; there is nothing to compute.
    if (!output_names_.empty()) {
        with_context("evaluation failed", [&] { run(bound->values().data(), outputs); });
    }
    return make_evaluation_result(std::u16string(hstring_view(correlation_id)), output_names16_, outputs, result);
}

namespace {

// The bytes of the tensors among `outputs`.
size_t tensor_bytes(const std::vector<owned_value>& outputs) {
    size_t total = 0;
    for (const owned_value& output : outputs) {
        if (!output || !output.view().IsTensor()) continue;
        const Ort::TensorTypeAndShapeInfo info = output.view().GetTensorTypeAndShapeInfo();
        total += info.GetElementCount() * element_size(tensor_kind_from_onnx(info.GetElementType()));
    }
    return total;
}

}  // namespace

void LearningModelSession::run(const owned_value* inputs, std::vector<owned_value>& outputs) {
    if (!outputs_in_chosen_memory()) {
        run_plainly(inputs, outputs);
    } else {
        try {
            run_into_chosen_memory(inputs, outputs);
        } catch (const Ort::Exception&) {
            // Run again as ONNX Runtime would place the outputs. If that
            // works, the binding was what failed: an ONNX Runtime that cannot
            // honour it must not cost a working session, which keeps to the
            // plain run from now on. If not, its failure is the one to report.
            for (owned_value& output : outputs) output.reset();
            run_plainly(inputs, outputs);
            chosen_memory_refused_.store(true, std::memory_order_relaxed);
        }
    }
    // The next evaluation of a model with big outputs binds them, most
    // likely of the same size again.
    if (output_memory_ != nullptr) last_output_bytes_.store(tensor_bytes(outputs), std::memory_order_relaxed);
}

void LearningModelSession::run_plainly(const owned_value* inputs, std::vector<owned_value>& outputs) {
    Ort::ThrowOnError(Ort::GetApi().Run(session_, nullptr, input_name_pointers_.data(), value_pointers(inputs),
                                        inputs_.size(), output_name_pointers_.data(), outputs.size(),
                                        value_pointers(outputs.data())));
}

// The same run through an I/O binding, the one way to tell ONNX Runtime
// where outputs go before their shapes are known.
void LearningModelSession::run_into_chosen_memory(const owned_value* inputs, std::vector<owned_value>& outputs) {
    const OrtApi& api = Ort::GetApi();
    Ort::IoBinding io(session_);
    for (size_t i = 0; i < inputs_.size(); ++i) {
        Ort::ThrowOnError(api.BindInput(io, input_name_pointers_[i], value_pointers(inputs)[i]));
    }
    for (const char* name : output_name_pointers_) Ort::ThrowOnError(api.BindOutputToDevice(io, name, output_memory_));
    session_.Run(bound_run_options_, io);
    // ONNX Runtime waits for its streams at the end of a run unless told
    // otherwise; waiting here as well costs microseconds and makes sure no
    // copy into the outputs is still under way when they are read.
    io.SynchronizeOutputs();
    std::vector<Ort::Value> values = io.GetOutputValues();
    if (values.size() != outputs.size()) {
        throw runtime_failure(E_FAIL, "ONNX Runtime gave " + std::to_string(values.size()) + " outputs for " +
                                          std::to_string(outputs.size()));
    }
    for (size_t i = 0; i < values.size(); ++i) outputs[i] = owned_value(std::move(values[i]));
}

}  // namespace runtime
