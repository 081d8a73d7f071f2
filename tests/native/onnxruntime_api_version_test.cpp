// Negotiating the C API version with libraries older and newer than the
// headers: the newest common version is taken, versions the library lacks
// are not asked for when its version string tells, and a library older than
// the runtime needs is refused with both versions named.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "onnxruntime/onnxruntime_api_version.h"

namespace {

using namespace runtime;

// A stand-in library: offers API versions 1..offered and reports `release`.
struct fake_library {
    static inline uint32_t offered = 0;
    static inline const char* release = nullptr;
    static inline std::vector<uint32_t> asked;
    static inline OrtApi table{};

    static const OrtApi* ORT_API_CALL get_api(uint32_t version) NO_EXCEPTION {
        asked.push_back(version);
        return version >= 1 && version <= offered ? &table : nullptr;
    }
    static const char* ORT_API_CALL get_version() NO_EXCEPTION { return release; }

    static OrtApiBase base(uint32_t offers, const char* reports) {
        offered = offers;
        release = reports;
        asked.clear();
        return OrtApiBase{&get_api, &get_version};
    }
};

TEST(OnnxRuntimeApiVersion, TakesTheHeadersVersionFromANewerLibrary) {
    const OrtApiBase base = fake_library::base(32, "1.32.0");
    const negotiated_api result = negotiate_onnxruntime_api(base, 21, 11);
    EXPECT_EQ(result.api, &fake_library::table);
    EXPECT_EQ(result.version, 21u);
    EXPECT_EQ(fake_library::asked, std::vector<uint32_t>{21});
}

TEST(OnnxRuntimeApiVersion, StartsAtAnOlderLibrarysOwnVersion) {
    // Asking 1.19 for version 21 would make it complain on stderr.
    const OrtApiBase base = fake_library::base(19, "1.19.2");
    const negotiated_api result = negotiate_onnxruntime_api(base, 21, 11);
    EXPECT_EQ(result.version, 19u);
    EXPECT_EQ(fake_library::asked, std::vector<uint32_t>{19});
    EXPECT_EQ(result.library_version, "1.19.2");
}

TEST(OnnxRuntimeApiVersion, StepsDownWhenTheVersionStringDoesNotTell) {
    for (const char* release : {"unknown build", "2.0", "1.x", ""}) {
        const OrtApiBase base = fake_library::base(15, release);
        const negotiated_api result = negotiate_onnxruntime_api(base, 21, 11);
        EXPECT_EQ(result.version, 15u) << release;
        EXPECT_EQ(fake_library::asked, (std::vector<uint32_t>{21, 20, 19, 18, 17, 16, 15})) << release;
    }
    const OrtApiBase silent = fake_library::base(13, nullptr);
    EXPECT_EQ(negotiate_onnxruntime_api(silent, 21, 11).version, 13u);
}

TEST(OnnxRuntimeApiVersion, RefusesALibraryOlderThanTheRuntimeNeeds) {
    const OrtApiBase base = fake_library::base(10, "1.10.0");
    const negotiated_api result = negotiate_onnxruntime_api(base, 21, 11);
    EXPECT_EQ(result.api, nullptr);
    EXPECT_TRUE(fake_library::asked.empty());
    EXPECT_EQ(unsupported_api_message(result, 11),
              "the ONNX Runtime library found (version 1.10.0) offers C API version 10; "
              "qelmo needs version 11 or newer (ONNX Runtime 1.11 or newer)");

    // A version string that claims more than the library gives.
    const OrtApiBase liar = fake_library::base(9, "1.19.0");
    const negotiated_api refused = negotiate_onnxruntime_api(liar, 21, 11);
    EXPECT_EQ(refused.api, nullptr);
    EXPECT_EQ(fake_library::asked.size(), 9u);  // 19 down to 11
    EXPECT_NE(unsupported_api_message(refused, 11).find("offers no C API version qelmo can use"), std::string::npos);
}

TEST(OnnxRuntimeApiVersion, TheOldestVersionNeededIsOneTheHeadersKnow) {
    EXPECT_LE(oldest_onnxruntime_api_version, static_cast<uint32_t>(ORT_API_VERSION));
}

}  // namespace
