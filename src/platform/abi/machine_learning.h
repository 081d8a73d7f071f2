// The machine-learning runtime's classes and interfaces, as both binaries see
// them. Runtime classes are activated by their full names, e.g.
// u"Windows.AI.MachineLearning.LearningModel", through DllGetActivationFactory;
// each statics or factory interface names its class (`runtime_class`).
#pragma once

#include "abi/collections.h"
#include "abi/hstring.h"
#include "abi/memory_buffer.h"
#include "abi/tensor_classes.h"
#include "abi/unknown.h"

namespace mlabi {

enum class LearningModelDeviceKind : int32_t {
    Default = 0,
    Cpu = 1,
    DirectX = 2,
    DirectXHighPerformance = 3,
    DirectXMinPower = 4,
};

enum class TensorKind : int32_t {
    Undefined = 0,
    Float = 1,
    UInt8 = 2,
    Int8 = 3,
    UInt16 = 4,
    Int16 = 5,
    Int32 = 6,
    Int64 = 7,
    String = 8,
    Boolean = 9,
    Float16 = 10,
    Double = 11,
    UInt32 = 12,
    UInt64 = 13,
    Complex64 = 14,
    Complex128 = 15,
};

enum class LearningModelFeatureKind : int32_t {
    Tensor = 0,
    Sequence = 1,
    Map = 2,
    Image = 3,
};

struct ILearningModelFeatureDescriptor : IUnknown {
    static constexpr GUID iid{0xBC08CF7C, 0x6ED0, 0x4004, {0x97, 0xBA, 0xB9, 0xA2, 0xEE, 0xCD, 0x2B, 0x4F}};
    virtual HRESULT get_Name(HSTRING* name) = 0;
    virtual HRESULT get_Description(HSTRING* description) = 0;
    virtual HRESULT get_Kind(LearningModelFeatureKind* kind) = 0;
    virtual HRESULT get_IsRequired(bool* required) = 0;
};

struct ITensorFeatureDescriptor : IUnknown {
    static constexpr GUID iid{0x74455C80, 0x946A, 0x4310, {0xA1, 0x9C, 0xEE, 0x0A, 0xF0, 0x28, 0xFC, 0xE4}};
    virtual HRESULT get_TensorKind(TensorKind* kind) = 0;
    virtual HRESULT get_Shape(IVectorView<int64_t>** shape) = 0;
};

// Offered by image features (a tensor typed value with the denotation
// "IMAGE" and four dimensions). -1 where the model leaves a size free.
struct IImageFeatureDescriptor : IUnknown {
    static constexpr GUID iid{0xA0E3C1D1, 0x8296, 0x44B5, {0xCF, 0x7C, 0x65, 0x19, 0xD3, 0xA6, 0x70, 0xE8}};
    virtual HRESULT get_Width(int64_t* width) = 0;
    virtual HRESULT get_Height(int64_t* height) = 0;
    virtual HRESULT get_Channels(int64_t* channels) = 0;
    virtual HRESULT get_TensorKind(TensorKind* kind) = 0;
};

template <>
struct collection_ids<ILearningModelFeatureDescriptor*> {
    static constexpr GUID iterator{0xB1F4D2E2, 0x93A7, 0x45C6, {0xD0, 0x8D, 0x76, 0x2A, 0xE4, 0xB7, 0x81, 0xF9}};
    static constexpr GUID iterable{0xC205E3F3, 0xA4B8, 0x46D7, {0xE1, 0x9E, 0x87, 0x3B, 0xF5, 0xC8, 0x92, 0x0A}};
    static constexpr GUID vector_view{0xD316F404, 0xB5C9, 0x47E8, {0xF2, 0xAF, 0x98, 0x4C, 0x06, 0xD9, 0xA3, 0x1B}};
};

struct ILearningModel : IUnknown {
    static constexpr GUID iid{0x5B8E4920, 0x489F, 0x4E86, {0x91, 0x28, 0x26, 0x5A, 0x32, 0x7B, 0x78, 0xFA}};
    virtual HRESULT get_Author(HSTRING* author) = 0;
    virtual HRESULT get_Name(HSTRING* name) = 0;
    virtual HRESULT get_Domain(HSTRING* domain) = 0;
    virtual HRESULT get_Description(HSTRING* description) = 0;
    virtual HRESULT get_Version(int64_t* version) = 0;
    virtual HRESULT get_Metadata(IMapView<HSTRING, HSTRING>** metadata) = 0;
    virtual HRESULT get_InputFeatures(IVectorView<ILearningModelFeatureDescriptor*>** features) = 0;
    virtual HRESULT get_OutputFeatures(IVectorView<ILearningModelFeatureDescriptor*>** features) = 0;
};

struct ILearningModelStatics : IUnknown {
    static constexpr GUID iid{0xE3B977E8, 0x6952, 0x4E47, {0x8E, 0xF4, 0x1F, 0x7F, 0x07, 0x89, 0x7C, 0x6D}};
    static constexpr const char16_t* runtime_class = u"Windows.AI.MachineLearning.LearningModel";
    // Missing file: E_FILE_NOT_FOUND; unreadable or not a model: E_INVALID_MODEL.
    virtual HRESULT LoadFromFilePath(HSTRING path, ILearningModel** model) = 0;
};

struct ILearningModelDevice : IUnknown {
    static constexpr GUID iid{0xF5C2C8FE, 0x3F56, 0x4A8C, {0xAC, 0x5F, 0xFD, 0xB9, 0x2D, 0x8B, 0x82, 0x52}};
    // The kind asked for at creation.
    virtual HRESULT get_Kind(LearningModelDeviceKind* kind) = 0;
    // Whether evaluation runs on a GPU execution provider (false after the
    // fallback to the CPU).
    virtual HRESULT get_IsGpu(bool* is_gpu) = 0;
};

struct ILearningModelDeviceFactory : IUnknown {
    static constexpr GUID iid{0x9CFFD74D, 0xB1E5, 0x4F20, {0x80, 0xAD, 0x0A, 0x56, 0x69, 0x0D, 0xB0, 0x6B}};
    static constexpr const char16_t* runtime_class = u"Windows.AI.MachineLearning.LearningModelDevice";
    // E_INVALIDARG for a kind outside 0..4.
    virtual HRESULT Create(LearningModelDeviceKind kind, ILearningModelDevice** device) = 0;
};

// A model output or any other value the runtime hands out.
struct ILearningModelFeatureValue : IUnknown {
    static constexpr GUID iid{0xF51005DB, 0x4085, 0x4DFE, {0x9F, 0xED, 0x95, 0xEB, 0x0C, 0x0C, 0xF7, 0x5C}};
    virtual HRESULT get_Kind(LearningModelFeatureKind* kind) = 0;
};

struct ITensor : IUnknown {
    static constexpr GUID iid{0x05489593, 0xA305, 0x4A25, {0xAD, 0x09, 0x44, 0x01, 0x19, 0xB4, 0xB7, 0xF6}};
    virtual HRESULT get_TensorKind(TensorKind* kind) = 0;
    virtual HRESULT get_Shape(IVectorView<int64_t>** shape) = 0;
};

// Typed tensor interfaces, one per tensor class (abi/tensor_classes.h): each
// marks a tensor's element kind; `element` is the C++ type that its statics'
// CreateFromArray takes.
#define QELMO_ABI_TYPED_TENSOR(Name, Class, Element, Kind, d1, d2, d3, s1, s2, s3, b0, b1, b2, b3, b4, b5, b6)      \
    struct Name : ITensor {                                                                                        \
        using base_interface = ITensor;                                                                            \
        using element = Element;                                                                                   \
        static constexpr TensorKind kind = TensorKind::Kind;                                                       \
        static constexpr const char16_t* runtime_class = u"Windows.AI.MachineLearning." #Class;                    \
        static constexpr GUID iid{d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, 0x01}};                                 \
        static constexpr GUID statics_iid{s1, s2, s3, {b0, b1, b2, b3, b4, b5, b6, 0x02}};                         \
    };
QELMO_TENSOR_CLASSES(QELMO_ABI_TYPED_TENSOR)
#undef QELMO_ABI_TYPED_TENSOR

// Statics of a tensor class, e.g. ITensorStatics<ITensorFloat> for
// "Windows.AI.MachineLearning.TensorFloat". The shape is iterated once during
// the call; `count` must be the product of its dimensions; the elements are
// copied into storage the new tensor owns.
template <class TypedTensor>
struct ITensorStatics : IUnknown {
    static constexpr GUID iid = TypedTensor::statics_iid;
    static constexpr const char16_t* runtime_class = TypedTensor::runtime_class;
    virtual HRESULT CreateFromArray(IIterable<int64_t>* shape, uint32_t count,
                                    const typename TypedTensor::element* data, TypedTensor** tensor) = 0;
};

struct ILearningModelEvaluationResult : IUnknown {
    static constexpr GUID iid{0xB2F9BFCD, 0x960E, 0x49C0, {0x85, 0x93, 0xEB, 0x19, 0x0A, 0xE3, 0xEE, 0xE2}};
    virtual HRESULT get_CorrelationId(HSTRING* correlation_id) = 0;
    virtual HRESULT get_ErrorStatus(int32_t* status) = 0;
    virtual HRESULT get_Succeeded(bool* succeeded) = 0;
    // Output name to value; each value offers ILearningModelFeatureValue.
    virtual HRESULT get_Outputs(IMapView<HSTRING, IUnknown*>** outputs) = 0;
};

struct ILearningModelBinding;

struct ILearningModelSession : IUnknown {
    static constexpr GUID iid{0x8E58F8F6, 0x7C2F, 0x4B5C, {0x9A, 0x34, 0x0C, 0x51, 0x2E, 0x6F, 0x3A, 0x7B}};
    virtual HRESULT get_Model(ILearningModel** model) = 0;
    virtual HRESULT get_Device(ILearningModelDevice** device) = 0;
    virtual HRESULT Evaluate(ILearningModelBinding* binding, HSTRING correlation_id,
                             ILearningModelEvaluationResult** result) = 0;
};

struct ILearningModelSessionFactory : IUnknown {
    static constexpr GUID iid{0x0F6B881D, 0x1C9B, 0x47B6, {0xBF, 0xE0, 0xF1, 0xCF, 0x62, 0xA6, 0x75, 0x79}};
    static constexpr const char16_t* runtime_class = u"Windows.AI.MachineLearning.LearningModelSession";
    virtual HRESULT CreateFromModelOnDevice(ILearningModel* model, ILearningModelDevice* device,
                                            ILearningModelSession** session) = 0;
};

struct ILearningModelBinding : IUnknown {
    static constexpr GUID iid{0xEA312F20, 0x168F, 0x4F8C, {0x94, 0xFE, 0x2E, 0x7A, 0xC3, 0x1B, 0x4A, 0xA8}};
    // `value` must be a tensor made by this runtime.
    virtual HRESULT Bind(HSTRING name, IUnknown* value) = 0;
    virtual HRESULT Clear() = 0;
};

struct ILearningModelBindingFactory : IUnknown {
    static constexpr GUID iid{0xC95F7A7A, 0xE788, 0x475E, {0x89, 0x17, 0x23, 0xAA, 0x38, 0x1F, 0xAF, 0x0B}};
    static constexpr const char16_t* runtime_class = u"Windows.AI.MachineLearning.LearningModelBinding";
    virtual HRESULT CreateFromSession(ILearningModelSession* session, ILearningModelBinding** binding) = 0;
};

// The last failure recorded on the calling thread, with a readable message.
// Reading it clears the thread's slot.
struct IRestrictedErrorInfo : IUnknown {
    static constexpr GUID iid{0x82BA7092, 0x4C88, 0x427D, {0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E}};
    virtual HRESULT GetErrorDetails(HSTRING* description, HRESULT* error) = 0;
};

}  // namespace mlabi

// Exported by the runtime library.
extern "C" {
// Activation entry point: the factory of the named runtime class.
using DllGetActivationFactoryFunction = mlabi::HRESULT (*)(mlabi::HSTRING class_name, mlabi::IActivationFactory** factory);
// The calling thread's last recorded failure, or S_FALSE and null when none.
using GetRestrictedErrorInfoFunction = mlabi::HRESULT (*)(mlabi::IRestrictedErrorInfo** info);
}
