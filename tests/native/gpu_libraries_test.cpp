// Finding ONNX Runtime's GPU build beside its CPU build, and the CUDA
// libraries that NVIDIA's pip packages install where the loader never looks.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "onnxruntime/cuda_libraries.h"
#include "onnxruntime/elf_dependencies.h"
#include "onnxruntime/onnxruntime_location.h"

namespace {

namespace fs = std::filesystem;

class scratch_folder {
public:
    scratch_folder() {
        std::string pattern = (fs::temp_directory_path() / "qelmo-gpu-XXXXXX").string();
        path_ = ::mkdtemp(&pattern[0]);
    }
    ~scratch_folder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void write_file(const fs::path& path, const std::string& text = "") {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

TEST(OnnxRuntimeLocation, TheGpuPackagesLibraryComesFirstWhateverItsVersion) {
    scratch_folder site;
    const fs::path capi = site.path() / "onnxruntime" / "capi";
    for (const char* name : {"libonnxruntime.so.1.32.0", "libonnxruntime.so.1.31.1", "libonnxruntime.so.1.9.0",
                             "libonnxruntime_providers_cuda.so", "libonnxruntime.so.1.x"}) {
        write_file(capi / name);
    }
    const std::string cpu_first = site.path().string() + "/onnxruntime/capi/libonnxruntime.so.1.32.0";
    const std::string gpu = site.path().string() + "/onnxruntime/capi/libonnxruntime.so.1.31.1";
    const std::string oldest = site.path().string() + "/onnxruntime/capi/libonnxruntime.so.1.9.0";

    runtime::onnxruntime_candidates alone = runtime::onnxruntime_libraries_in(site.path().string());
    EXPECT_EQ(alone.paths, (std::vector<std::string>{cpu_first, gpu, oldest}));
    EXPECT_TRUE(alone.gpu_package_library.empty());

    write_file(site.path() / "onnxruntime_gpu-1.31.1.dist-info" / "RECORD",
               "onnxruntime/__init__.py,sha256=abc,10\n"
               "onnxruntime/capi/libonnxruntime_providers_cuda.so,sha256=def,20\n"
               "onnxruntime/capi/libonnxruntime.so.1.31.1,sha256=ghi,30\n");
    runtime::onnxruntime_candidates both = runtime::onnxruntime_libraries_in(site.path().string());
    EXPECT_EQ(both.paths, (std::vector<std::string>{gpu, cpu_first, oldest}));
    EXPECT_EQ(both.gpu_package_version, "1.31.1");
    EXPECT_EQ(both.gpu_package_library, gpu);

    // The GPU package's file gone (or never there): it is still named, and
    // the others are tried.
    fs::remove(capi / "libonnxruntime.so.1.31.1");
    runtime::onnxruntime_candidates missing = runtime::onnxruntime_libraries_in(site.path().string());
    EXPECT_EQ(missing.paths, (std::vector<std::string>{cpu_first, oldest}));
    EXPECT_EQ(missing.gpu_package_library, gpu);
}

TEST(ElfDependencies, ReadsWhatALibraryNeedsWithoutLoadingIt) {
    runtime::elf_dependencies needs;
    ASSERT_TRUE(runtime::read_elf_dependencies(QELMO_STAND_IN_PROVIDER, needs));
    EXPECT_NE(std::find(needs.needed.begin(), needs.needed.end(), "libqelmo_stand_in_blas.so.13"), needs.needed.end());
    EXPECT_NE(std::find(needs.needed.begin(), needs.needed.end(), "libqelmo_stand_in_dnn.so.9"), needs.needed.end());
    EXPECT_EQ(dlopen(QELMO_STAND_IN_PROVIDER, RTLD_NOW | RTLD_NOLOAD), nullptr);

    scratch_folder folder;
    for (const std::string& text : {std::string(), std::string("\x7f" "ELF", 4), std::string(4096, 'x')}) {
        write_file(folder.path() / "not_a_library.so", text);
        EXPECT_FALSE(runtime::read_elf_dependencies((folder.path() / "not_a_library.so").string(), needs));
    }
    EXPECT_FALSE(runtime::read_elf_dependencies((folder.path() / "absent.so").string(), needs));
    EXPECT_FALSE(runtime::read_elf_dependencies(folder.path().string(), needs));
}

// One test, in order: what a process has loaded stays loaded.
TEST(CudaLibraries, NvidiaPipFoldersMakeTheProvidersNeedsLoadable) {
    const fs::path built = QELMO_STAND_IN_FOLDER;
    scratch_folder site;
    const std::vector<std::string> sites{site.path().string()};
    const std::string provider = QELMO_STAND_IN_PROVIDER;

    EXPECT_EQ(runtime::load_provider_dependencies(provider, sites), "libqelmo_stand_in_blas.so.13");

    // The CUDA 13 layout: one folder for the toolkit's libraries, but the
    // BLAS stand-in's own need (the CUDA runtime) is not there yet.
    const fs::path cu13 = site.path() / "nvidia" / "cu13" / "lib";
    fs::create_directories(cu13);
    fs::copy_file(built / "libqelmo_stand_in_blas.so.13", cu13 / "libqelmo_stand_in_blas.so.13");
    EXPECT_EQ(runtime::load_provider_dependencies(provider, sites), "libqelmo_stand_in_runtime.so.13");
    EXPECT_EQ(dlopen("libqelmo_stand_in_blas.so.13", RTLD_NOW | RTLD_NOLOAD), nullptr);

    // The CUDA 12 layout: a folder per package; cuDNN's parts beside it.
    const fs::path runtime_lib = site.path() / "nvidia" / "cuda_runtime" / "lib";
    const fs::path cudnn = site.path() / "nvidia" / "cudnn" / "lib";
    fs::create_directories(runtime_lib);
    fs::create_directories(cudnn);
    fs::copy_file(built / "libqelmo_stand_in_runtime.so.13", runtime_lib / "libqelmo_stand_in_runtime.so.13");
    fs::copy_file(built / "libqelmo_stand_in_dnn.so.9", cudnn / "libqelmo_stand_in_dnn.so.9");
    fs::copy_file(built / "libqelmo_stand_in_dnn_graph.so.9", cudnn / "libqelmo_stand_in_dnn_graph.so.9");
    EXPECT_EQ(runtime::load_provider_dependencies(provider, sites), "");
    for (const char* name : {"libqelmo_stand_in_runtime.so.13", "libqelmo_stand_in_blas.so.13",
                             "libqelmo_stand_in_dnn.so.9", "libqelmo_stand_in_dnn_graph.so.9"}) {
        EXPECT_NE(dlopen(name, RTLD_NOW | RTLD_NOLOAD), nullptr) << name;
    }
    // The provider itself now loads by its path alone.
    EXPECT_NE(dlopen(provider.c_str(), RTLD_NOW | RTLD_LOCAL), nullptr) << dlerror();
}

}  // namespace
