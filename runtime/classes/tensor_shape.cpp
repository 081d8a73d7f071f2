#include "classes/tensor_shape.h"

namespace runtime {

std::string shape_text(const int64_t* dims, size_t rank) {
    std::string text = "[";
    for (size_t i = 0; i < rank; ++i) {
        if (i != 0) text += ", ";
        text += dims[i] < 0 ? std::string("?") : std::to_string(dims[i]);
    }
    return text + "]";
}

}  // namespace runtime
