#include "classes/session.h"

#include <utility>

#include "com/text.h"

namespace runtime {

LearningModelSession::LearningModelSession(com_ptr<LearningModel> model, com_ptr<ILearningModelDevice> device,
                                           Ort::Session session, std::vector<session_input> inputs,
                                           std::vector<std::string> output_names)
    : model_(std::move(model)),
      device_(std::move(device)),
      session_(std::move(session)),
      inputs_(std::move(inputs)),
      output_names_(std::move(output_names)) {
    input_name_pointers_.reserve(inputs_.size());
    input_indices_.reserve(inputs_.size());
    for (size_t i = 0; i < inputs_.size(); ++i) {
        input_name_pointers_.push_back(inputs_[i].name.c_str());
        input_indices_.emplace(inputs_[i].name16, static_cast<int>(i));  // the first of equal names wins
    }
    output_name_pointers_.reserve(output_names_.size());
    output_names16_.reserve(output_names_.size());
    for (const std::string& name : output_names_) {
        output_name_pointers_.push_back(name.c_str());
        output_names16_.push_back(utf8_to_utf16(name));
    }
}

HRESULT LearningModelSession::get_Model(ILearningModel** model) { return hand_out(model_, model); }

HRESULT LearningModelSession::get_Device(ILearningModelDevice** device) { return hand_out(device_, device); }

void LearningModelSession::put_outputs_in(Ort::MemoryInfo memory, size_t minimum_bytes) {
    if (memory != nullptr && bound_run_options_ == nullptr) bound_run_options_ = Ort::RunOptions();
    output_memory_ = std::move(memory);
    chosen_memory_minimum_ = minimum_bytes;
}

bool LearningModelSession::outputs_in_chosen_memory() const {
    return output_memory_ != nullptr && !chosen_memory_refused_.load(std::memory_order_relaxed) &&
           last_output_bytes_.load(std::memory_order_relaxed) >= chosen_memory_minimum_;
}

int LearningModelSession::find_input(std::u16string_view name) const {
    const auto found = input_indices_.find(name);
    return found == input_indices_.end() ? -1 : found->second;
}

}  // namespace runtime
