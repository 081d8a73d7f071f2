#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "class_registry.h"
#include "classes/learning_model.h"
#include "com/text.h"
#include "proto_writer.h"

using namespace mlabi;
using test_proto::message;

extern "C" HRESULT GetRestrictedErrorInfo(IRestrictedErrorInfo** info);

namespace {

std::string read_string(HSTRING s) {
    std::string text = runtime::utf16_to_utf8(hstring_view(s));
    delete_hstring(s);
    return text;
}

// The calling thread's last recorded failure message.
std::string last_error_message() {
    com_ptr<IRestrictedErrorInfo> info;
    if (GetRestrictedErrorInfo(info.put()) != S_OK || !info) return {};
    HSTRING description = nullptr;
    HRESULT code = S_OK;
    if (failed(info->GetErrorDetails(&description, &code))) return {};
    return read_string(description);
}

class LearningModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qelmo_model_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        com_ptr<IActivationFactory> factory = runtime::make_learning_model_factory();
        ASSERT_TRUE(factory);
        ASSERT_EQ(factory.as(statics_), S_OK);
    }
    void TearDown() override {
        for (const std::string& file : files_) std::remove(file.c_str());
        ::rmdir(directory_.c_str());
    }

    std::string write_file(const std::string& name, const std::string& contents) {
        const std::string path = directory_ + "/" + name;
        std::ofstream(path, std::ios::binary) << contents;
        files_.push_back(path);
        return path;
    }

    HRESULT load(const std::u16string& path, com_ptr<ILearningModel>& model) {
        hstring_reference reference(path);
        return statics_->LoadFromFilePath(reference.get(), model.put());
    }
    HRESULT load(const std::string& path, com_ptr<ILearningModel>& model) {
        return load(runtime::utf8_to_utf16(path), model);
    }
    com_ptr<ILearningModel> load_ok(const std::string& contents) {
        com_ptr<ILearningModel> model;
        EXPECT_EQ(load(write_file("model.onnx", contents), model), S_OK) << last_error_message();
        return model;
    }

    static std::vector<com_ptr<ILearningModelFeatureDescriptor>> features(
        const com_ptr<IVectorView<ILearningModelFeatureDescriptor*>>& list) {
        std::vector<com_ptr<ILearningModelFeatureDescriptor>> result;
        uint32_t size = 0;
        EXPECT_EQ(list->get_Size(&size), S_OK);
        for (uint32_t i = 0; i < size; ++i) {
            com_ptr<ILearningModelFeatureDescriptor> item;
            EXPECT_EQ(list->GetAt(i, item.put()), S_OK);
            result.push_back(item);
        }
        com_ptr<ILearningModelFeatureDescriptor> beyond;
        EXPECT_EQ(list->GetAt(size, beyond.put()), E_BOUNDS);
        return result;
    }

    static std::string name_of(const com_ptr<ILearningModelFeatureDescriptor>& feature) {
        HSTRING name = nullptr;
        EXPECT_EQ(feature->get_Name(&name), S_OK);
        return read_string(name);
    }

    static std::vector<int64_t> shape_of(const com_ptr<ITensorFeatureDescriptor>& tensor) {
        com_ptr<IVectorView<int64_t>> shape;
        EXPECT_EQ(tensor->get_Shape(shape.put()), S_OK);
        uint32_t size = 0;
        shape->get_Size(&size);
        std::vector<int64_t> dims(size);
        for (uint32_t i = 0; i < size; ++i) shape->GetAt(i, &dims[i]);
        return dims;
    }

    std::string directory_;
    std::vector<std::string> files_;
    com_ptr<ILearningModelStatics> statics_;
};

}  // namespace

TEST_F(LearningModelTest, ExposesMetadata) {
    message model = test_proto::model_with(test_proto::simple_graph());
    model.nested(14, test_proto::metadata_entry("clé", "wert"))
        .nested(14, test_proto::metadata_entry("license", "repeated key is dropped"));
    com_ptr<ILearningModel> loaded = load_ok(model.str());
    ASSERT_TRUE(loaded);

    HSTRING text = nullptr;
    ASSERT_EQ(loaded->get_Author(&text), S_OK);
    EXPECT_EQ(read_string(text), "test-producer");
    ASSERT_EQ(loaded->get_Name(&text), S_OK);
    EXPECT_EQ(read_string(text), "simple");
    ASSERT_EQ(loaded->get_Domain(&text), S_OK);
    EXPECT_EQ(read_string(text), "ai.test");
    ASSERT_EQ(loaded->get_Description(&text), S_OK);
    EXPECT_EQ(read_string(text), "a model for tests");
    int64_t version = 0;
    ASSERT_EQ(loaded->get_Version(&version), S_OK);
    EXPECT_EQ(version, 42);

    com_ptr<IMapView<HSTRING, HSTRING>> metadata;
    ASSERT_EQ(loaded->get_Metadata(metadata.put()), S_OK);
    uint32_t size = 0;
    metadata->get_Size(&size);
    EXPECT_EQ(size, 2u);
    const std::u16string key = u"clé";
    hstring_reference key_reference(key);
    HSTRING value = nullptr;
    ASSERT_EQ(metadata->Lookup(key_reference.get(), &value), S_OK);
    EXPECT_EQ(read_string(value), "wert");
    const std::u16string license = u"license";
    hstring_reference license_reference(license);
    ASSERT_EQ(metadata->Lookup(license_reference.get(), &value), S_OK);
    EXPECT_EQ(read_string(value), "none");
}

TEST_F(LearningModelTest, AbsentMetadataIsEmptyAndInvalidTextIsReplaced) {
    message graph = test_proto::simple_graph();
    graph.bytes(2, std::string("bad\xFF", 4));
    message model;
    model.varint(1, 8).nested(7, graph);
    com_ptr<ILearningModel> loaded = load_ok(model.str());
    ASSERT_TRUE(loaded);
    HSTRING text = reinterpret_cast<HSTRING>(1);
    ASSERT_EQ(loaded->get_Author(&text), S_OK);
    EXPECT_EQ(text, nullptr);
    ASSERT_EQ(loaded->get_Description(&text), S_OK);
    EXPECT_EQ(text, nullptr);
    ASSERT_EQ(loaded->get_Name(&text), S_OK);
    EXPECT_EQ(hstring_view(text), u"bad\uFFFD");
    delete_hstring(text);
}

TEST_F(LearningModelTest, DescribesFeaturesByKind) {
    message image_type = test_proto::tensor_type(2, {{1}, {3}, {-1, "h"}, {640}});
    image_type.bytes(6, "IMAGE");
    message three_d_image = test_proto::tensor_type(1, {{3}, {4}, {5}});
    three_d_image.bytes(6, "IMAGE");
    message graph;
    graph.nested(11, test_proto::value_info("tensor", test_proto::tensor_type(1, {{-1, "n"}, {10}}), "doc"))
        .nested(11, test_proto::value_info("image", image_type))
        .nested(11, test_proto::value_info("seq", message().nested(4, message())))
        .nested(11, test_proto::value_info("map", message().nested(5, message())))
        .nested(11, test_proto::value_info("opt", message().nested(9, message())))
        .nested(11, test_proto::value_info("bf16", test_proto::tensor_type(16, {{2}})))
        .nested(11, test_proto::value_info("unranked", test_proto::tensor_type(11, {}, false)))
        .nested(11, test_proto::value_info("not_image", three_d_image))
        .nested(12, test_proto::value_info("out", test_proto::tensor_type(9, {})));
    com_ptr<ILearningModel> loaded = load_ok(test_proto::model_with(graph).str());
    ASSERT_TRUE(loaded);

    com_ptr<IVectorView<ILearningModelFeatureDescriptor*>> list;
    ASSERT_EQ(loaded->get_InputFeatures(list.put()), S_OK);
    const auto inputs = features(list);
    ASSERT_EQ(inputs.size(), 8u);
    const std::vector<std::string> names{"tensor", "image", "seq", "map", "opt", "bf16", "unranked", "not_image"};
    const std::vector<LearningModelFeatureKind> kinds{
        LearningModelFeatureKind::Tensor,   LearningModelFeatureKind::Image,  LearningModelFeatureKind::Sequence,
        LearningModelFeatureKind::Map,      LearningModelFeatureKind::Sequence, LearningModelFeatureKind::Tensor,
        LearningModelFeatureKind::Tensor,   LearningModelFeatureKind::Tensor};
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(name_of(inputs[i]), names[i]);
        LearningModelFeatureKind kind{};
        ASSERT_EQ(inputs[i]->get_Kind(&kind), S_OK);
        EXPECT_EQ(kind, kinds[i]) << names[i];
        bool required = false;
        inputs[i]->get_IsRequired(&required);
        EXPECT_TRUE(required);
        const bool is_tensor = kinds[i] == LearningModelFeatureKind::Tensor;
        EXPECT_EQ(static_cast<bool>(inputs[i].try_as<ITensorFeatureDescriptor>()), is_tensor) << names[i];
        EXPECT_EQ(static_cast<bool>(inputs[i].try_as<IImageFeatureDescriptor>()),
                  kinds[i] == LearningModelFeatureKind::Image) << names[i];
        EXPECT_TRUE(inputs[i].try_as<IAgileObject>());
    }

    HSTRING description = nullptr;
    ASSERT_EQ(inputs[0]->get_Description(&description), S_OK);
    EXPECT_EQ(read_string(description), "doc");

    auto tensor = inputs[0].try_as<ITensorFeatureDescriptor>();
    TensorKind tensor_kind{};
    ASSERT_EQ(tensor->get_TensorKind(&tensor_kind), S_OK);
    EXPECT_EQ(tensor_kind, TensorKind::Float);
    EXPECT_EQ(shape_of(tensor), (std::vector<int64_t>{-1, 10}));

    auto bf16 = inputs[5].try_as<ITensorFeatureDescriptor>();
    bf16->get_TensorKind(&tensor_kind);
    EXPECT_EQ(tensor_kind, TensorKind::Undefined);
    EXPECT_TRUE(shape_of(inputs[6].try_as<ITensorFeatureDescriptor>()).empty());
    EXPECT_EQ(shape_of(inputs[7].try_as<ITensorFeatureDescriptor>()), (std::vector<int64_t>{3, 4, 5}));

    auto image = inputs[1].try_as<IImageFeatureDescriptor>();
    int64_t width = 0, height = 0, channels = 0;
    image->get_Width(&width);
    image->get_Height(&height);
    image->get_Channels(&channels);
    image->get_TensorKind(&tensor_kind);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, -1);
    EXPECT_EQ(channels, 3);
    EXPECT_EQ(tensor_kind, TensorKind::UInt8);

    ASSERT_EQ(loaded->get_OutputFeatures(list.put()), S_OK);
    const auto outputs = features(list);
    ASSERT_EQ(outputs.size(), 1u);
    bool required = true;
    outputs[0]->get_IsRequired(&required);
    EXPECT_FALSE(required);
    auto out = outputs[0].try_as<ITensorFeatureDescriptor>();
    out->get_TensorKind(&tensor_kind);
    EXPECT_EQ(tensor_kind, TensorKind::Boolean);
    EXPECT_TRUE(shape_of(out).empty());
}

TEST_F(LearningModelTest, FeatureListsAreMadeOnceAndShared) {
    com_ptr<ILearningModel> loaded = load_ok(test_proto::simple_model());
    ASSERT_TRUE(loaded);
    com_ptr<IVectorView<ILearningModelFeatureDescriptor*>> first, second;
    loaded->get_InputFeatures(first.put());
    loaded->get_InputFeatures(second.put());
    EXPECT_EQ(first, second);
    EXPECT_EQ(features(first)[0], features(second)[0]);
}

TEST_F(LearningModelTest, KeepsBytesAndAnAbsolutePath) {
    const std::string contents = test_proto::simple_model();
    const std::string path = write_file("relative.onnx", contents);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(directory_.c_str()), 0);
    com_ptr<ILearningModel> loaded;
    const HRESULT hr = load(std::string("relative.onnx"), loaded);
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(hr, S_OK);

    auto model = mlabi::implementation_of<runtime::LearningModel>(loaded.get());
    ASSERT_TRUE(model);
    EXPECT_EQ(model->path(), path);
    EXPECT_EQ(model->file().image(), contents);
    EXPECT_EQ(model->info().inputs.size(), 1u);
}

TEST_F(LearningModelTest, ReportsLoadFailuresWithReadableMessages) {
    com_ptr<ILearningModel> model;
    EXPECT_EQ(load(directory_ + "/missing.onnx", model), E_FILE_NOT_FOUND);
    EXPECT_FALSE(model);
    EXPECT_NE(last_error_message().find("missing.onnx"), std::string::npos);

    EXPECT_EQ(load(std::u16string(), model), E_FILE_NOT_FOUND);
    EXPECT_EQ(load(directory_ + "/model.onnx/inner", model), E_FILE_NOT_FOUND);

    EXPECT_EQ(load(directory_, model), E_INVALID_MODEL);
    EXPECT_NE(last_error_message().find("directory"), std::string::npos);

    EXPECT_EQ(load(write_file("empty.onnx", ""), model), E_INVALID_MODEL);
    EXPECT_EQ(load(write_file("text.onnx", "this is not a model"), model), E_INVALID_MODEL);
    EXPECT_EQ(last_error_message().rfind("not an ONNX model", 0), 0u);
    EXPECT_FALSE(model);

    // A NUL would silently shorten the path to another existing file.
    const std::string good = write_file("good.onnx", test_proto::simple_model());
    std::u16string with_nul = runtime::utf8_to_utf16(good) + u'\0' + u"ignored";
    EXPECT_EQ(load(with_nul, model), E_INVALIDARG);
    EXPECT_FALSE(model);

    EXPECT_EQ(statics_->LoadFromFilePath(nullptr, nullptr), E_POINTER);
}

TEST_F(LearningModelTest, RefusesSpecialFilesWithoutBlocking) {
    const std::string fifo = directory_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    files_.push_back(fifo);
    com_ptr<ILearningModel> model;
    EXPECT_EQ(load(fifo, model), E_INVALID_MODEL);
}

TEST_F(LearningModelTest, UnreadableFileIsAccessDenied) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    const std::string path = write_file("locked.onnx", test_proto::simple_model());
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    com_ptr<ILearningModel> model;
    EXPECT_EQ(load(path, model), E_ACCESSDENIED);
}

TEST(LearningModelFactory, IsOneAgileSingletonWithoutDefaultActivation) {
    com_ptr<IActivationFactory> first = runtime::make_learning_model_factory();
    com_ptr<IActivationFactory> second = runtime::make_learning_model_factory();
    ASSERT_TRUE(first);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(first.try_as<IAgileObject>());
    EXPECT_TRUE(first.try_as<ILearningModelStatics>());
    com_ptr<IUnknown> instance;
    EXPECT_EQ(first->ActivateInstance(instance.put()), E_NOTIMPL);
    EXPECT_FALSE(instance);
}
