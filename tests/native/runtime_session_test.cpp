// Devices, sessions, bindings and evaluation over the real ONNX Runtime.
// ONNX Runtime is taken from QELMO_TEST_ONNXRUNTIME (a path to
// libonnxruntime.so.*) or the system; without it these tests are skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "classes/learning_model.h"
#include "classes/output_memory.h"
#include "classes/session.h"
#include "onnx/onnx_model.h"
#include "onnxruntime/onnxruntime_library.h"
#include "proto_writer.h"
#include "runtime_test_support.h"

extern "C" mlabi::HRESULT DllGetActivationFactory(mlabi::HSTRING class_name, mlabi::IActivationFactory** factory);

namespace {

using namespace mlabi;
using namespace runtime_testing;
using test_proto::message;

constexpr int32_t onnx_float = 1;
constexpr int32_t onnx_float16 = 10;

message node(std::vector<std::string> inputs, std::string output, std::string op) {
    message n;
    for (const std::string& input : inputs) n.bytes(1, input);
    n.bytes(2, output).bytes(4, op);
    return n;
}

std::string model_of(const message& graph) {
    message opset;
    opset.bytes(1, "").varint(2, 17);
    return message().varint(1, 8).nested(8, opset).nested(7, graph).str();
}

// z = x + y, all float [1, 3].
std::string add_model() {
    const message type = test_proto::tensor_type(onnx_float, {{1}, {3}});
    message graph;
    graph.nested(1, node({"x", "y"}, "z", "Add"))
        .bytes(2, "add")
        .nested(11, test_proto::value_info("x", type))
        .nested(11, test_proto::value_info("y", type))
        .nested(12, test_proto::value_info("z", type));
    return model_of(graph);
}

// z = x * x, float16 [n, 2].
std::string square_half_model() {
    const message type = test_proto::tensor_type(onnx_float16, {{0, "n"}, {2}});
    message graph;
    graph.nested(1, node({"x", "x"}, "z", "Mul"))
        .bytes(2, "square")
        .nested(11, test_proto::value_info("x", type))
        .nested(12, test_proto::value_info("z", type));
    return model_of(graph);
}

// From x, float [2, 3]: x + x, x cast to int64 and to bool, and x itself.
std::string mixed_outputs_model() {
    constexpr int32_t onnx_int64 = 7;
    constexpr int32_t onnx_bool = 9;
    const auto cast_to = [](int32_t type) {
        message to;  // AttributeProto: name, i, type INT
        to.bytes(1, "to").varint(3, static_cast<uint64_t>(type)).varint(20, 2);
        return to;
    };
    const auto typed = [](int32_t type) { return test_proto::tensor_type(type, {{2}, {3}}); };
    message graph;
    graph.nested(1, node({"x", "x"}, "twice", "Add"))
        .nested(1, node({"x"}, "whole", "Cast").nested(5, cast_to(onnx_int64)))
        .nested(1, node({"x"}, "nonzero", "Cast").nested(5, cast_to(onnx_bool)))
        .bytes(2, "mixed")
        .nested(11, test_proto::value_info("x", typed(onnx_float)))
        .nested(12, test_proto::value_info("twice", typed(onnx_float)))
        .nested(12, test_proto::value_info("whole", typed(onnx_int64)))
        .nested(12, test_proto::value_info("nonzero", typed(onnx_bool)))
        .nested(12, test_proto::value_info("x", typed(onnx_float)));
    return model_of(graph);
}

class RuntimeSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (const char* path = std::getenv("QELMO_TEST_ONNXRUNTIME")) runtime::use_onnxruntime_library_for_tests(path);
    }

    void SetUp() override {
        const runtime::onnxruntime* loaded = nullptr;
        if (failed(runtime::load_onnxruntime(&loaded))) {
            GTEST_SKIP() << "ONNX Runtime not found (set QELMO_TEST_ONNXRUNTIME): " << last_error_message();
        }
    }

    static com_ptr<ILearningModel> load(const std::string& bytes) {
        runtime::onnx_model info;
        std::string error;
        EXPECT_EQ(runtime::read_onnx_model(bytes, info, error), runtime::onnx_read_status::ok) << error;
        auto model = runtime::LearningModel::make(std::make_unique<runtime::model_file>(bytes), std::string(), std::move(info));
        return com_ptr<ILearningModel>::copy_from(model.get());
    }

    static com_ptr<ILearningModelDevice> device(LearningModelDeviceKind kind = LearningModelDeviceKind::Cpu) {
        auto factory = runtime::make_learning_model_device_factory().try_as<ILearningModelDeviceFactory>();
        com_ptr<ILearningModelDevice> made;
        EXPECT_EQ(factory->Create(kind, made.put()), S_OK);
        return made;
    }

    static com_ptr<ILearningModelSession> session_for(const std::string& bytes) {
        auto factory = runtime::make_learning_model_session_factory().try_as<ILearningModelSessionFactory>();
        com_ptr<ILearningModelSession> session;
        EXPECT_EQ(factory->CreateFromModelOnDevice(load(bytes).get(), device().get(), session.put()), S_OK)
            << last_error_message();
        return session;
    }

    static com_ptr<ILearningModelBinding> binding_for(const com_ptr<ILearningModelSession>& session) {
        auto factory = runtime::make_learning_model_binding_factory().try_as<ILearningModelBindingFactory>();
        com_ptr<ILearningModelBinding> binding;
        EXPECT_EQ(factory->CreateFromSession(session.get(), binding.put()), S_OK);
        return binding;
    }

    static HRESULT bind(const com_ptr<ILearningModelBinding>& binding, const std::u16string& name, IUnknown* value) {
        hstring_reference reference(name);
        return binding->Bind(reference.get(), value);
    }

    static com_ptr<ITensorFloat> floats(std::vector<int64_t> dims, const std::vector<float>& values) {
        com_ptr<ITensorFloat> tensor;
        EXPECT_EQ(create_tensor<ITensorFloat>(std::move(dims), static_cast<uint32_t>(values.size()), values.data(), tensor),
                  S_OK);
        return tensor;
    }

    static HRESULT evaluate(const com_ptr<ILearningModelSession>& session, const com_ptr<ILearningModelBinding>& binding,
                            com_ptr<ILearningModelEvaluationResult>& result) {
        std::u16string id = u"RunId";
        hstring_reference reference(id);
        return session->Evaluate(binding.get(), reference.get(), result.put());
    }

    static com_ptr<IUnknown> output(const com_ptr<ILearningModelEvaluationResult>& result, const std::u16string& name) {
        com_ptr<IMapView<HSTRING, IUnknown*>> outputs;
        EXPECT_EQ(result->get_Outputs(outputs.put()), S_OK);
        hstring_reference reference(name);
        com_ptr<IUnknown> value;
        EXPECT_EQ(outputs->Lookup(reference.get(), value.put()), S_OK);
        return value;
    }

    template <class T>
    static std::vector<T> elements(IUnknown* tensor) {
        buffer_view view;
        EXPECT_EQ(view_buffer(tensor, view), S_OK);
        const auto* data = reinterpret_cast<const T*>(view.data);
        return std::vector<T>(data, data + view.capacity / sizeof(T));
    }
};

TEST_F(RuntimeSession, EvaluatesAnAddModel) {
    auto session = session_for(add_model());
    auto binding = binding_for(session);
    ASSERT_EQ(bind(binding, u"x", floats({1, 3}, {1, 2, 3}).get()), S_OK);
    ASSERT_EQ(bind(binding, u"y", floats({1, 3}, {10, 20, 30}).get()), S_OK);
    com_ptr<ILearningModelEvaluationResult> result;
    ASSERT_EQ(evaluate(session, binding, result), S_OK) << last_error_message();

    bool succeeded = false;
    int32_t status = -1;
    HSTRING id = nullptr;
    ASSERT_EQ(result->get_Succeeded(&succeeded), S_OK);
    ASSERT_EQ(result->get_ErrorStatus(&status), S_OK);
    ASSERT_EQ(result->get_CorrelationId(&id), S_OK);
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(hstring_view(id), u"RunId");
    delete_hstring(id);

    auto z = output(result, u"z").try_as<ITensorFloat>();
    ASSERT_TRUE(z);
    EXPECT_EQ(shape_of(z.get()), (std::vector<int64_t>{1, 3}));
    EXPECT_EQ(elements<float>(z.get()), (std::vector<float>{11, 22, 33}));
    // The output outlives the result, session and binding that made it.
    result = nullptr;
    binding = nullptr;
    session = nullptr;
    EXPECT_EQ(elements<float>(z.get()), (std::vector<float>{11, 22, 33}));
}

TEST_F(RuntimeSession, InputsReachOnnxRuntimeWithoutACopy) {
    auto session = session_for(add_model());
    auto binding = binding_for(session);
    auto x = floats({1, 3}, {1, 2, 3});
    ASSERT_EQ(bind(binding, u"x", x.get()), S_OK);
    ASSERT_EQ(bind(binding, u"y", x.get()), S_OK);
    buffer_view view;
    ASSERT_EQ(view_buffer(x.get(), view), S_OK);
    reinterpret_cast<float*>(view.data)[0] = 100;  // after Bind: seen only if not copied
    com_ptr<ILearningModelEvaluationResult> result;
    ASSERT_EQ(evaluate(session, binding, result), S_OK);
    EXPECT_EQ(elements<float>(output(result, u"z").get()), (std::vector<float>{200, 4, 6}));
}

TEST_F(RuntimeSession, BindRefusesWhatTheModelCannotTake) {
    auto session = session_for(add_model());
    auto binding = binding_for(session);

    EXPECT_EQ(bind(binding, u"w", floats({1, 3}, {1, 2, 3}).get()), E_INVALIDARG);
    EXPECT_NE(last_error_message().find("'w'"), std::string::npos);

    EXPECT_EQ(bind(binding, u"x", floats({2, 3}, {1, 2, 3, 4, 5, 6}).get()), E_INVALIDARG);
    EXPECT_EQ(last_error_message(), "input 'x': shape [2, 3] does not match the model's [1, 3]");
    EXPECT_EQ(bind(binding, u"x", floats({3}, {1, 2, 3}).get()), E_INVALIDARG);  // rank

    const double doubles[] = {1, 2, 3};
    com_ptr<ITensorDouble> wrong_kind;
    ASSERT_EQ(create_tensor<ITensorDouble>({1, 3}, 3, doubles, wrong_kind), S_OK);
    EXPECT_EQ(bind(binding, u"x", wrong_kind.get()), E_INVALIDARG);
    // Element types named as model inspection names them.
    EXPECT_EQ(last_error_message(),
              "input 'x': tensor of element type float64 does not match the model's float32; "
              "convert the values to float32");

    // Not a tensor of this runtime: a device, and nothing at all.
    EXPECT_EQ(bind(binding, u"x", device().get()), E_INVALIDARG);
    EXPECT_NE(bind(binding, u"x", nullptr), S_OK);
}

TEST_F(RuntimeSession, MissingInputsFailTheEvaluationNamingThem) {
    auto session = session_for(add_model());
    auto binding = binding_for(session);
    ASSERT_EQ(bind(binding, u"x", floats({1, 3}, {1, 2, 3}).get()), S_OK);
    com_ptr<ILearningModelEvaluationResult> result;
    EXPECT_EQ(evaluate(session, binding, result), E_INVALIDARG);
    EXPECT_FALSE(result);
    EXPECT_NE(last_error_message().find("'y'"), std::string::npos);

    // Clear forgets x as well; binding both again makes it work.
    ASSERT_EQ(binding->Clear(), S_OK);
    ASSERT_EQ(bind(binding, u"y", floats({1, 3}, {1, 1, 1}).get()), S_OK);
    EXPECT_EQ(evaluate(session, binding, result), E_INVALIDARG);
    ASSERT_EQ(bind(binding, u"x", floats({1, 3}, {1, 2, 3}).get()), S_OK);
    EXPECT_EQ(evaluate(session, binding, result), S_OK);
}

TEST_F(RuntimeSession, RebindingReplacesTheValue) {
    auto session = session_for(add_model());
    auto binding = binding_for(session);
    ASSERT_EQ(bind(binding, u"x", floats({1, 3}, {1, 2, 3}).get()), S_OK);
    ASSERT_EQ(bind(binding, u"x", floats({1, 3}, {5, 5, 5}).get()), S_OK);
    ASSERT_EQ(bind(binding, u"y", floats({1, 3}, {0, 0, 0}).get()), S_OK);
    com_ptr<ILearningModelEvaluationResult> result;
    ASSERT_EQ(evaluate(session, binding, result), S_OK);
    EXPECT_EQ(elements<float>(output(result, u"z").get()), (std::vector<float>{5, 5, 5}));
}

TEST_F(RuntimeSession, FloatTensorsFeedHalfPrecisionInputs) {
    auto session = session_for(square_half_model());
    auto binding = binding_for(session);
    // A free first dimension accepts any size, the fixed one must match.
    EXPECT_EQ(bind(binding, u"x", floats({2, 3}, {1, 2, 3, 4, 5, 6}).get()), E_INVALIDARG);
    ASSERT_EQ(bind(binding, u"x", floats({3, 2}, {1.5f, -2, 3, 0.5f, 300, 0}).get()), S_OK);
    com_ptr<ILearningModelEvaluationResult> result;
    ASSERT_EQ(evaluate(session, binding, result), S_OK) << last_error_message();

    com_ptr<IUnknown> z = output(result, u"z");
    auto tensor = z.try_as<ITensorFloat16Bit>();
    ASSERT_TRUE(tensor);
    EXPECT_EQ(shape_of(tensor.get()), (std::vector<int64_t>{3, 2}));
    // Half precision storage, two bytes an element: 2.25, 4, 9, 0.25, 90000 -> inf, 0.
    EXPECT_EQ(elements<uint16_t>(z.get()), (std::vector<uint16_t>{0x4080, 0x4400, 0x4880, 0x3400, 0x7C00, 0x0000}));
}

TEST_F(RuntimeSession, KeepsItsModelAndOnlyEvaluatesItsOwnBindings) {
    auto model = load(add_model());
    auto factory = runtime::make_learning_model_session_factory().try_as<ILearningModelSessionFactory>();
    com_ptr<ILearningModelSession> session;
    ASSERT_EQ(factory->CreateFromModelOnDevice(model.get(), device().get(), session.put()), S_OK);
    ILearningModel* raw = model.get();
    model = nullptr;
    com_ptr<ILearningModel> kept;
    ASSERT_EQ(session->get_Model(kept.put()), S_OK);
    EXPECT_EQ(kept.get(), raw);

    auto other = session_for(add_model());
    auto foreign = binding_for(other);
    com_ptr<ILearningModelEvaluationResult> result;
    EXPECT_EQ(evaluate(session, foreign, result), E_INVALIDARG);
    EXPECT_EQ(factory->CreateFromModelOnDevice(nullptr, device().get(), session.put()), E_POINTER);
}

TEST_F(RuntimeSession, ModelsOnnxRuntimeRejectsFailSessionCreationWithItsMessage) {
    // A node of an operator that does not exist.
    const message type = test_proto::tensor_type(onnx_float, {{1}});
    message graph;
    graph.nested(1, node({"x"}, "y", "NoSuchOperator"))
        .bytes(2, "broken")
        .nested(11, test_proto::value_info("x", type))
        .nested(12, test_proto::value_info("y", type));
    auto factory = runtime::make_learning_model_session_factory().try_as<ILearningModelSessionFactory>();
    com_ptr<ILearningModelSession> session;
    const HRESULT hr = factory->CreateFromModelOnDevice(load(model_of(graph)).get(), device().get(), session.put());
    EXPECT_TRUE(failed(hr));
    EXPECT_FALSE(session);
    EXPECT_NE(last_error_message().find("NoSuchOperator"), std::string::npos);
}

TEST_F(RuntimeSession, FailuresInsideOnnxRuntimeCarryItsMessage) {
    // x [a] + y [b] only fails once the sizes are known.
    message graph;
    graph.nested(1, node({"x", "y"}, "z", "Add"))
        .bytes(2, "broadcast")
        .nested(11, test_proto::value_info("x", test_proto::tensor_type(onnx_float, {{0, "a"}})))
        .nested(11, test_proto::value_info("y", test_proto::tensor_type(onnx_float, {{0, "b"}})))
        .nested(12, test_proto::value_info("z", test_proto::tensor_type(onnx_float, {{0, "c"}})));
    auto session = session_for(model_of(graph));
    auto binding = binding_for(session);
    ASSERT_EQ(bind(binding, u"x", floats({2}, {1, 2}).get()), S_OK);
    ASSERT_EQ(bind(binding, u"y", floats({3}, {1, 2, 3}).get()), S_OK);
    com_ptr<ILearningModelEvaluationResult> result;
    EXPECT_TRUE(failed(evaluate(session, binding, result)));
    EXPECT_FALSE(result);
    const std::string message = last_error_message();
    EXPECT_NE(message.find("evaluation failed: "), std::string::npos) << message;
    EXPECT_NE(message.find("broadcast"), std::string::npos) << message;
}

// GPU sessions have ONNX Runtime put their outputs in page-locked memory
// through an I/O binding; here the same path runs with ordinary host memory.
TEST_F(RuntimeSession, OutputsPutInChosenMemoryAreTheSame) {
    // Without a CUDA provider there is no page-locked memory to ask for.
    const runtime::onnxruntime* loaded = nullptr;
    ASSERT_EQ(runtime::load_onnxruntime(&loaded), S_OK);
    const std::string bytes = mixed_outputs_model();
    Ort::Session plain(*loaded->env, bytes.data(), bytes.size(), Ort::SessionOptions());
    EXPECT_EQ(runtime::page_locked_output_memory(plain), nullptr);

    auto session = session_for(mixed_outputs_model());
    auto chosen = runtime::implementation_of<runtime::LearningModelSession>(session.get());
    ASSERT_TRUE(chosen);
    const auto host_memory = [] { return Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault); };
    // The outputs come to 102 bytes: bound from the evaluation after one
    // that gave at least the minimum, never when the minimum is more.
    const struct {
        size_t minimum;
        bool bound;
    } runs[] = {{0, false}, {1000, false}, {1000, false}, {102, true}, {0, true}};
    bool first = true;
    for (const auto& run : runs) {
        if (!first) chosen->put_outputs_in(host_memory(), run.minimum);
        first = false;
        ASSERT_EQ(chosen->outputs_in_chosen_memory(), run.bound) << run.minimum;
        auto binding = binding_for(session);
        const float x0 = run.bound ? 2.5f : 1.5f;  // a new value each time: no output is left over
        ASSERT_EQ(bind(binding, u"x", floats({2, 3}, {x0, -2, 0, 0.25f, 7, -0.5f}).get()), S_OK);
        com_ptr<ILearningModelEvaluationResult> result;
        ASSERT_EQ(evaluate(session, binding, result), S_OK) << last_error_message();
        EXPECT_EQ(elements<float>(output(result, u"twice").get()), (std::vector<float>{2 * x0, -4, 0, 0.5f, 14, -1}));
        EXPECT_EQ(elements<int64_t>(output(result, u"whole").get()),
                  (std::vector<int64_t>{static_cast<int64_t>(x0), -2, 0, 0, 7, 0}));
        EXPECT_EQ(elements<uint8_t>(output(result, u"nonzero").get()), (std::vector<uint8_t>{1, 1, 0, 1, 1, 1}));
        EXPECT_EQ(elements<float>(output(result, u"x").get()), (std::vector<float>{x0, -2, 0, 0.25f, 7, -0.5f}));
        auto whole = output(result, u"whole").try_as<ITensorInt64Bit>();
        ASSERT_TRUE(whole);
        EXPECT_EQ(shape_of(whole.get()), (std::vector<int64_t>{2, 3}));
    }

    // Half-precision inputs and outputs, and ONNX Runtime's failures, go the same way.
    auto half = session_for(square_half_model());
    runtime::implementation_of<runtime::LearningModelSession>(half.get())
        ->put_outputs_in(host_memory(), 0);
    auto binding = binding_for(half);
    ASSERT_EQ(bind(binding, u"x", floats({1, 2}, {1.5f, -2}).get()), S_OK);
    com_ptr<ILearningModelEvaluationResult> result;
    ASSERT_EQ(evaluate(half, binding, result), S_OK) << last_error_message();
    EXPECT_EQ(elements<uint16_t>(output(result, u"z").get()), (std::vector<uint16_t>{0x4080, 0x4400}));

    message graph;
    graph.nested(1, node({"x", "y"}, "z", "Add"))
        .bytes(2, "broadcast")
        .nested(11, test_proto::value_info("x", test_proto::tensor_type(onnx_float, {{0, "a"}})))
        .nested(11, test_proto::value_info("y", test_proto::tensor_type(onnx_float, {{0, "b"}})))
        .nested(12, test_proto::value_info("z", test_proto::tensor_type(onnx_float, {{0, "c"}})));
    auto failing = session_for(model_of(graph));
    runtime::implementation_of<runtime::LearningModelSession>(failing.get())
        ->put_outputs_in(host_memory(), 0);
    binding = binding_for(failing);
    ASSERT_EQ(bind(binding, u"x", floats({2}, {1, 2}).get()), S_OK);
    ASSERT_EQ(bind(binding, u"y", floats({3}, {1, 2, 3}).get()), S_OK);
    EXPECT_TRUE(failed(evaluate(failing, binding, result)));
    EXPECT_NE(last_error_message().find("evaluation failed: "), std::string::npos) << last_error_message();
    // Failing again without the binding, the model was at fault, not the
    // binding: the session keeps binding its outputs.
    EXPECT_TRUE(runtime::implementation_of<runtime::LearningModelSession>(failing.get())->outputs_in_chosen_memory());
}

TEST_F(RuntimeSession, AModelWithoutOutputsGivesAnEmptyResult) {
    message graph;
    graph.nested(1, node({"x"}, "unused", "Neg"))
        .bytes(2, "silent")
        .nested(11, test_proto::value_info("x", test_proto::tensor_type(onnx_float, {{1}})));
    auto session = session_for(model_of(graph));
    auto binding = binding_for(session);
    com_ptr<ILearningModelEvaluationResult> result;
    EXPECT_EQ(evaluate(session, binding, result), E_INVALIDARG);  // inputs are still required
    ASSERT_EQ(bind(binding, u"x", floats({1}, {1}).get()), S_OK);
    ASSERT_EQ(evaluate(session, binding, result), S_OK) << last_error_message();
    com_ptr<IMapView<HSTRING, IUnknown*>> outputs;
    ASSERT_EQ(result->get_Outputs(outputs.put()), S_OK);
    uint32_t size = 1;
    ASSERT_EQ(outputs->get_Size(&size), S_OK);
    EXPECT_EQ(size, 0u);
}

// Every class answers a caller's mistake the same way: a status code and a
// recorded message, never a bare code.
TEST_F(RuntimeSession, MistakenCallsOnEveryClassRecordWhatWentWrong) {
    auto model = load(add_model());
    auto cpu = device();
    auto session = session_for(add_model());
    auto binding = binding_for(session);
    auto x = floats({1, 3}, {1, 2, 3});
    ASSERT_EQ(bind(binding, u"x", x.get()), S_OK);
    ASSERT_EQ(bind(binding, u"y", x.get()), S_OK);
    com_ptr<ILearningModelEvaluationResult> result;
    ASSERT_EQ(evaluate(session, binding, result), S_OK) << last_error_message();
    com_ptr<IVectorView<ILearningModelFeatureDescriptor*>> features;
    com_ptr<ILearningModelFeatureDescriptor> feature;
    com_ptr<IMapView<HSTRING, HSTRING>> metadata;
    com_ptr<IMapView<HSTRING, IUnknown*>> outputs;
    com_ptr<IVectorView<int64_t>> shape;
    com_ptr<IMemoryBuffer> buffer;
    ASSERT_EQ(model->get_InputFeatures(features.put()), S_OK);
    ASSERT_EQ(features->GetAt(0, feature.put()), S_OK);
    ASSERT_EQ(model->get_Metadata(metadata.put()), S_OK);
    ASSERT_EQ(result->get_Outputs(outputs.put()), S_OK);
    ASSERT_EQ(x->get_Shape(shape.put()), S_OK);
    ASSERT_EQ(x.as(buffer), S_OK);
    auto model_statics = runtime::make_learning_model_factory().try_as<ILearningModelStatics>();
    auto device_factory = runtime::make_learning_model_device_factory().try_as<ILearningModelDeviceFactory>();
    auto session_factory = runtime::make_learning_model_session_factory().try_as<ILearningModelSessionFactory>();
    auto binding_factory = runtime::make_learning_model_binding_factory().try_as<ILearningModelBindingFactory>();
    com_ptr<ITensorStatics<ITensorFloat>> tensor_statics;
    ASSERT_EQ(runtime::make_tensor_factory<ITensorFloat>().as(tensor_statics), S_OK);
    std::u16string z_name = u"z", absent_name = u"absent", run_id = u"RunId";
    std::u16string class_name(ILearningModelStatics::runtime_class);
    hstring_reference z(z_name), absent(absent_name), id(run_id), path(absent_name), statics_class(class_name);
    const float one = 1;

    struct mistake {
        const char* call;
        std::function<HRESULT()> make;
        HRESULT status;
        const char* message;
    };
    const char* const null_out = "null out-parameter";
    const mistake mistakes[] = {
        {"LearningModel.get_Name", [&] { return model->get_Name(nullptr); }, E_POINTER, null_out},
        {"LearningModel.get_InputFeatures", [&] { return model->get_InputFeatures(nullptr); }, E_POINTER, null_out},
        {"feature descriptor get_Name", [&] { return feature->get_Name(nullptr); }, E_POINTER, null_out},
        {"LearningModelDevice.get_IsGpu", [&] { return cpu->get_IsGpu(nullptr); }, E_POINTER, null_out},
        {"LearningModelSession.get_Model", [&] { return session->get_Model(nullptr); }, E_POINTER, null_out},
        {"LearningModelSession.Evaluate", [&] { return session->Evaluate(binding.get(), id.get(), nullptr); },
         E_POINTER, null_out},
        {"evaluation result get_CorrelationId", [&] { return result->get_CorrelationId(nullptr); }, E_POINTER,
         null_out},
        {"tensor get_Shape", [&] { return x->get_Shape(nullptr); }, E_POINTER, null_out},
        {"tensor CreateReference", [&] { return buffer->CreateReference(nullptr); }, E_POINTER, null_out},
        {"shape GetAt", [&] { return shape->GetAt(0, nullptr); }, E_POINTER, null_out},
        {"shape GetAt past the end", [&] { int64_t d; return shape->GetAt(2, &d); }, E_BOUNDS, "index out of range"},
        {"vector view GetAt", [&] { return features->GetAt(0, nullptr); }, E_POINTER, null_out},
        {"vector view GetAt past the end",
         [&] { com_ptr<ILearningModelFeatureDescriptor> f; return features->GetAt(2, f.put()); }, E_BOUNDS,
         "index out of range"},
        {"string map Lookup", [&] { return metadata->Lookup(z.get(), nullptr); }, E_POINTER, null_out},
        {"string map GetKeys", [&] { return metadata->GetKeys(nullptr); }, E_POINTER, null_out},
        {"output map Lookup", [&] { return outputs->Lookup(z.get(), nullptr); }, E_POINTER, null_out},
        {"output map Lookup of an absent key",
         [&] { com_ptr<IUnknown> v; return outputs->Lookup(absent.get(), v.put()); }, E_BOUNDS,
         "no entry with that key"},
        {"LearningModel.LoadFromFilePath", [&] { return model_statics->LoadFromFilePath(path.get(), nullptr); },
         E_POINTER, null_out},
        {"LearningModelDevice.Create", [&] { return device_factory->Create(LearningModelDeviceKind::Cpu, nullptr); },
         E_POINTER, null_out},
        {"LearningModelSession.CreateFromModelOnDevice",
         [&] { return session_factory->CreateFromModelOnDevice(model.get(), cpu.get(), nullptr); }, E_POINTER,
         null_out},
        {"LearningModelBinding.CreateFromSession",
         [&] { return binding_factory->CreateFromSession(session.get(), nullptr); }, E_POINTER, null_out},
        {"TensorFloat.CreateFromArray",
         [&] { return tensor_statics->CreateFromArray(shape_iterable::make(std::vector<int64_t>{1}).get(), 1, &one,
                                                      nullptr); },
         E_POINTER, null_out},
        {"DllGetActivationFactory", [&] { return DllGetActivationFactory(statics_class.get(), nullptr); }, E_POINTER,
         null_out},
    };
    for (const mistake& m : mistakes) {
        last_error_message();  // forget any earlier record
        EXPECT_EQ(m.make(), m.status) << m.call;
        EXPECT_EQ(last_error_message(), m.message) << m.call;
    }
}

TEST(RuntimeDevice, EveryKnownKindRunsSomewhereAndOthersAreRefused) {
    auto factory = runtime::make_learning_model_device_factory().try_as<ILearningModelDeviceFactory>();
    ASSERT_TRUE(factory);
    for (int32_t kind = 0; kind <= 4; ++kind) {
        com_ptr<ILearningModelDevice> device;
        ASSERT_EQ(factory->Create(static_cast<LearningModelDeviceKind>(kind), device.put()), S_OK) << kind;
        LearningModelDeviceKind reported{};
        bool is_gpu = true;
        ASSERT_EQ(device->get_Kind(&reported), S_OK);
        ASSERT_EQ(device->get_IsGpu(&is_gpu), S_OK);
        EXPECT_EQ(static_cast<int32_t>(reported), kind);
        if (kind <= 1) {
            EXPECT_FALSE(is_gpu);
        }
    }
    for (int32_t kind : {-1, 5, 1000}) {
        com_ptr<ILearningModelDevice> device;
        EXPECT_EQ(factory->Create(static_cast<LearningModelDeviceKind>(kind), device.put()), E_INVALIDARG);
        EXPECT_FALSE(device);
    }
}

}  // namespace
