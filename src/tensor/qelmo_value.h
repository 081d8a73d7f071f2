// QelmoValue: a numpy array and the element kind decided for it.
#pragma once

#include <pybind11/numpy.h>

#include "abi/machine_learning.h"

namespace qelmo {

class QelmoValue {
public:
    // Keeps `array` itself (no copy) and decides its kind; an unsupported
    // element type throws std::runtime_error "Unsupported numpy data type".
    explicit QelmoValue(pybind11::array array);

    QelmoValue(const QelmoValue&) = default;
    QelmoValue(QelmoValue&&) noexcept = default;
    QelmoValue& operator=(const QelmoValue&) = default;
    QelmoValue& operator=(QelmoValue&&) noexcept = default;

    // The array held: the very object the value was made from.
    pybind11::array to_numpy() const { return array_; }

    const pybind11::array& array() const { return array_; }
    mlabi::TensorKind kind() const { return kind_; }

private:
    pybind11::array array_;
    mlabi::TensorKind kind_;
};

}  // namespace qelmo
