// A large model file read in part: structure at opening, payloads while a
// session needs them, and refused once the file has changed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "memory/model_file.h"
#include "onnx/onnx_model.h"
#include "proto_writer.h"
#include "runtime_test_support.h"

using namespace mlabi;
using runtime::model_file;
using runtime_testing::last_error_message;
using test_proto::message;

namespace {

class ModelFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qelmo_model_file_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        path_ = directory_ + "/big.onnx";
        // 8 MiB of weights, above what is read whole, between the graph's
        // first fields and its inputs.
        message graph = test_proto::simple_graph();
        graph.nested(5, message().varint(1, 2).varint(2, 1).bytes(8, "w").bytes(9, std::string(size_t{8} << 20, '\x5A')));
        graph.nested(11, test_proto::value_info("late", test_proto::tensor_type(1, {{2}})));
        contents_ = test_proto::model_with(graph).str();
        write(contents_);
    }
    void TearDown() override {
        std::remove(path_.c_str());
        ::rmdir(directory_.c_str());
    }

    void write(const std::string& contents) const { std::ofstream(path_, std::ios::binary | std::ios::trunc) << contents; }

    std::unique_ptr<model_file> open() const {
        std::unique_ptr<model_file> file;
        EXPECT_EQ(model_file::open(path_, file), S_OK) << last_error_message();
        return file;
    }

    size_t payload_bytes_in(std::string_view image) const {
        size_t count = 0;
        for (char c : image) count += c == '\x5A';
        return count;
    }

    std::string directory_, path_, contents_;
};

}  // namespace

TEST_F(ModelFileTest, ReadsPayloadsOnlyWhileTheCompleteFileIsHeld) {
    auto file = open();
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->has_deferred_payloads());
    EXPECT_EQ(file->image().size(), contents_.size());
    EXPECT_LT(payload_bytes_in(file->image()), size_t{1} << 20);

    runtime::onnx_model info;
    std::string error;
    ASSERT_EQ(runtime::read_onnx_model(file->image(), info, error), runtime::onnx_read_status::ok) << error;
    ASSERT_EQ(info.inputs.size(), 2u);
    EXPECT_EQ(info.inputs[1].name, "late");

    {
        model_file::complete_bytes first, second;
        ASSERT_EQ(file->complete(first), S_OK) << last_error_message();
        ASSERT_EQ(file->complete(second), S_OK);
        EXPECT_TRUE(first.bytes() == contents_);
        first.reset();
        // Still held by the second.
        EXPECT_TRUE(second.bytes() == contents_);
    }
    // Released, and read again on demand.
    EXPECT_LT(payload_bytes_in(file->image()), size_t{1} << 20);
    model_file::complete_bytes again;
    ASSERT_EQ(file->complete(again), S_OK);
    EXPECT_TRUE(again.bytes() == contents_);
}

TEST_F(ModelFileTest, RefusesAFileChangedInPlaceAfterOpening) {
    auto file = open();
    ASSERT_TRUE(file);
    // Same size, other contents, a later modification time.
    std::string changed = contents_;
    changed[changed.size() / 2] = '\x11';
    write(changed);
    struct timespec times[2] = {{0, UTIME_OMIT}, {0, 0}};
    ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &times[1]), 0);
    times[1].tv_sec += 10;
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);

    model_file::complete_bytes whole;
    EXPECT_EQ(file->complete(whole), E_INVALID_MODEL);
    EXPECT_EQ(last_error_message(), "the model file changed after it was loaded: " + path_);
    EXPECT_TRUE(whole.bytes().empty());
    EXPECT_LT(payload_bytes_in(file->image()), size_t{1} << 20);
}

TEST_F(ModelFileTest, SmallFilesAreReadWholeAndTruncatedLargeOnesCompletely) {
    write(test_proto::simple_model());
    auto small = open();
    ASSERT_TRUE(small);
    EXPECT_FALSE(small->has_deferred_payloads());
    EXPECT_EQ(small->image(), test_proto::simple_model());

    // The weights' length runs past the end: the walk gives up and the
    // reader sees every byte, to refuse them with its own reason.
    const std::string cut = contents_.substr(0, contents_.size() - 1000);
    write(cut);
    auto truncated = open();
    ASSERT_TRUE(truncated);
    EXPECT_FALSE(truncated->has_deferred_payloads());
    EXPECT_TRUE(truncated->image() == cut);
}

TEST_F(ModelFileTest, NamesTheOpenFileThroughItsDescriptorUntilItChanges) {
    auto file = open();
    ASSERT_TRUE(file);
    // Moved away and another file put in its place: the name still reads
    // the file that was loaded.
    ASSERT_EQ(std::rename(path_.c_str(), (directory_ + "/moved.onnx").c_str()), 0);
    write("another file");
    std::string name;
    struct stat handed {};
    ASSERT_EQ(file->descriptor_path(name, handed), S_OK) << last_error_message();
    ASSERT_EQ(name.rfind("/proc/self/fd/", 0), 0u) << name;
    std::ifstream named(name, std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(named), {}) == contents_);
    EXPECT_EQ(file->check_unchanged_since(handed), S_OK);

    // Changed in place: refused before and after a reader uses the name.
    std::ofstream(directory_ + "/moved.onnx", std::ios::binary | std::ios::app) << "more";
    EXPECT_EQ(file->check_unchanged_since(handed), E_INVALID_MODEL);
    EXPECT_EQ(file->descriptor_path(name, handed), E_INVALID_MODEL);
    EXPECT_EQ(last_error_message(), "the model file changed after it was loaded: " + path_);
    EXPECT_TRUE(name.empty());
    std::remove((directory_ + "/moved.onnx").c_str());

    // A file read whole has no such name: its bytes are all in memory.
    write(test_proto::simple_model());
    auto small = open();
    ASSERT_TRUE(small);
    ASSERT_EQ(small->descriptor_path(name, handed), S_OK);
    EXPECT_TRUE(name.empty());
    EXPECT_EQ(small->check_unchanged_since(handed), S_OK);
}

// Rewritten in place with the same size and its modification time put back:
// the bytes read for the structure tell before a reader is given the name,
// and the change time after.
TEST_F(ModelFileTest, ARewriteWithItsTimesPutBackIsRefused) {
    auto file = open();
    ASSERT_TRUE(file);
    struct stat loaded {};
    ASSERT_EQ(::stat(path_.c_str(), &loaded), 0);
    auto rewrite_keeping_times = [&](size_t at, char byte) {
        const int fd = ::open(path_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, &byte, 1, static_cast<off_t>(at)), 1);
        const struct timespec times[2] = {loaded.st_atim, loaded.st_mtim};
        ASSERT_EQ(::futimens(fd, times), 0);
        ::close(fd);
    };
    std::string name;
    struct stat handed {};
    // In the graph's first field, read for the structure.
    rewrite_keeping_times(contents_.find("simple"), 'S');
    EXPECT_EQ(file->descriptor_path(name, handed), E_INVALID_MODEL);
    EXPECT_EQ(last_error_message(), "the model file changed after it was loaded: " + path_);
    rewrite_keeping_times(contents_.find("simple"), 's');

    ASSERT_EQ(file->descriptor_path(name, handed), S_OK) << last_error_message();
    ASSERT_FALSE(name.empty());
    // While a reader reads it: even a byte of the weights.
    rewrite_keeping_times(contents_.size() / 2, '\x11');
    EXPECT_EQ(file->check_unchanged_since(handed), E_INVALID_MODEL);
}
