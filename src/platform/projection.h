// Thin wrappers over the runtime's interfaces, for the module: each calls
// one method and checks its status, so that the code using them reads as
// what it does. A runtime that answers success without the object asked for
// raises the platform error for E_POINTER rather than handing on null.
#pragma once

#include <cstdint>
#include <vector>

#include "abi/collections.h"
#include "abi_support/com_ptr.h"
#include "owned_hstring.h"
#include "platform_error.h"

namespace qelmo::platform {

// The interface a getter hands out, never null.
template <class Object, class Result>
mlabi::com_ptr<Result> get(Object* object, mlabi::HRESULT (Object::*getter)(Result**)) {
    mlabi::com_ptr<Result> result;
    check_status((object->*getter)(result.put()));
    if (!result) check_status(mlabi::E_POINTER);
    return result;
}

// The text a getter hands out.
template <class Object>
owned_hstring get_text(Object* object, mlabi::HRESULT (Object::*getter)(mlabi::HSTRING*)) {
    owned_hstring text;
    check_status((object->*getter)(text.put()));
    return text;
}

// The plain value a getter hands out.
template <class Value, class Object>
Value get_value(Object* object, mlabi::HRESULT (Object::*getter)(Value*)) {
    Value value{};
    check_status((object->*getter)(&value));
    return value;
}

// The elements of a list of objects, in order; an index that holds nothing
// is left out. The size is read once.
template <class Element>
std::vector<mlabi::com_ptr<Element>> items(mlabi::IVectorView<Element*>* list) {
    const uint32_t size = get_value(list, &mlabi::IVectorView<Element*>::get_Size);
    std::vector<mlabi::com_ptr<Element>> elements;
    elements.reserve(size);
    for (uint32_t i = 0; i < size; ++i) {
        mlabi::com_ptr<Element> element;
        check_status(list->GetAt(i, element.put()));
        if (element) elements.push_back(std::move(element));
    }
    return elements;
}

// Every dimension of a shape, outermost first.
inline std::vector<int64_t> dimensions(mlabi::IVectorView<int64_t>* shape) {
    const uint32_t rank = get_value(shape, &mlabi::IVectorView<int64_t>::get_Size);
    std::vector<int64_t> result(rank);
    for (uint32_t i = 0; i < rank; ++i) check_status(shape->GetAt(i, &result[i]));
    return result;
}

}  // namespace qelmo::platform
