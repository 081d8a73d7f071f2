#include "classes/evaluation_result.h"

#include <utility>

#include "classes/output_values.h"
#include "com/map_view.h"

namespace runtime {
namespace {

class LearningModelEvaluationResult final
    : public com_object<LearningModelEvaluationResult, ILearningModelEvaluationResult, IAgileObject> {
public:
    LearningModelEvaluationResult(std::u16string correlation_id, com_ptr<map_view<IUnknown*>> outputs)
        : correlation_id_(std::move(correlation_id)), outputs_(std::move(outputs)) {}

    HRESULT get_CorrelationId(HSTRING* correlation_id) override { return hand_out_string(correlation_id_, correlation_id); }
    HRESULT get_ErrorStatus(int32_t* status) override { return hand_out_value(int32_t{0}, status); }
    HRESULT get_Succeeded(bool* succeeded) override { return hand_out_value(true, succeeded); }
    HRESULT get_Outputs(IMapView<HSTRING, IUnknown*>** outputs) override { return hand_out(outputs_, outputs); }

private:
    const std::u16string correlation_id_;
    const com_ptr<map_view<IUnknown*>> outputs_;
};

}  // namespace

HRESULT make_evaluation_result(std::u16string correlation_id, const std::vector<std::u16string>& names,
                               std::vector<owned_value>& outputs, ILearningModelEvaluationResult** result) noexcept {
    *result = nullptr;
    return at_boundary("out of memory collecting the outputs", "collecting the outputs failed unexpectedly", [&] {
        std::vector<map_view<IUnknown*>::entry> entries;
        entries.reserve(outputs.size());
        for (size_t i = 0; i < outputs.size(); ++i) entries.emplace_back(names[i], wrap_output(std::move(outputs[i])));
        auto map = made_as<map_view<IUnknown*>>(map_view<IUnknown*>::make(std::move(entries)));
        auto made = LearningModelEvaluationResult::make(std::move(correlation_id), std::move(map));
        if (!made) return fail(E_OUTOFMEMORY, "out of memory creating an evaluation result");
        *result = made.detach();
        return S_OK;
    });
}

}  // namespace runtime
