// UTF-16 to UTF-8 conversion of runtime strings, and the conversion
// primitive underneath it.
#include <gtest/gtest.h>

#include <string>

#include "com/text.h"
#include "model/text_conversion.h"
#include "win32.h"

namespace {

using qelmo::to_utf8;

const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD

TEST(ToUtf8, EmptyText) { EXPECT_EQ(to_utf8(u""), ""); }

TEST(ToUtf8, Ascii) { EXPECT_EQ(to_utf8(u"model input_0"), "model input_0"); }

TEST(ToUtf8, BasicMultilingualPlane) {
    EXPECT_EQ(to_utf8(u"\u00E9"), "\xC3\xA9");
    EXPECT_EQ(to_utf8(u"\u20AC"), "\xE2\x82\xAC");
    EXPECT_EQ(to_utf8(u"\u4E2D\u6587"), "\xE4\xB8\xAD\xE6\x96\x87");
    EXPECT_EQ(to_utf8(u"\uFFFF"), "\xEF\xBF\xBF");
}

TEST(ToUtf8, SurrogatePairs) {
    EXPECT_EQ(to_utf8(u"\U0001F680"), "\xF0\x9F\x9A\x80");
    EXPECT_EQ(to_utf8(u"a\U0010FFFFb"), "a\xF4\x8F\xBF\xBF" "b");
}

TEST(ToUtf8, UnpairedSurrogatesBecomeReplacementCharacters) {
    const char16_t high_at_end[] = {u'a', 0xD83D};
    EXPECT_EQ(to_utf8({high_at_end, 2}), "a" + replacement);
    const char16_t high_then_letter[] = {0xD83D, u'b'};
    EXPECT_EQ(to_utf8({high_then_letter, 2}), replacement + "b");
    const char16_t lone_low[] = {0xDE80, u'c'};
    EXPECT_EQ(to_utf8({lone_low, 2}), replacement + "c");
    const char16_t two_highs_then_low[] = {0xD83D, 0xD83D, 0xDE80};
    EXPECT_EQ(to_utf8({two_highs_then_low, 3}), replacement + "\xF0\x9F\x9A\x80");
    const char16_t reversed_pair[] = {0xDE80, 0xD83D};
    EXPECT_EQ(to_utf8({reversed_pair, 2}), replacement + replacement);
}

TEST(ToUtf8, EmbeddedNulIsKept) {
    const char16_t text[] = {u'a', 0, u'b'};
    const std::string converted = to_utf8({text, 3});
    EXPECT_EQ(converted, std::string("a\0b", 3));
}

TEST(ToUtf8, ReadsOnlyTheGivenLength) {
    const char16_t text[] = {u'x', u'y', u'z'};  // no terminator
    EXPECT_EQ(to_utf8({text, 2}), "xy");
}

TEST(ToUtf8, LongText) {
    const std::u16string text(100000, u'\u00E9');
    const std::string converted = to_utf8(text);
    ASSERT_EQ(converted.size(), 200000u);
    EXPECT_EQ(converted.substr(199998), "\xC3\xA9");
}

TEST(WideCharToMultiByte, SizeQueryThenConversion) {
    using qelmo::platform::WideCharToMultiByte;
    const char16_t text[] = u"\u00E9t\u00E9";
    EXPECT_EQ(WideCharToMultiByte(65001, 0, text, 3, nullptr, 0, nullptr, nullptr), 5);
    char small[4];
    EXPECT_EQ(WideCharToMultiByte(65001, 0, text, 3, small, sizeof small, nullptr, nullptr), 0);
    char exact[5];
    EXPECT_EQ(WideCharToMultiByte(65001, 0, text, 3, exact, sizeof exact, nullptr, nullptr), 5);
    EXPECT_EQ(std::string(exact, 5), "\xC3\xA9t\xC3\xA9");
    // Only UTF-8 is offered.
    EXPECT_EQ(WideCharToMultiByte(1252, 0, text, 3, nullptr, 0, nullptr, nullptr), 0);
}

TEST(WideCharToMultiByte, MinusOneLengthConvertsUpToAndIncludingTheNul) {
    using qelmo::platform::WideCharToMultiByte;
    const char16_t text[] = u"\u00E9a";
    EXPECT_EQ(WideCharToMultiByte(65001, 0, text, -1, nullptr, 0, nullptr, nullptr), 4);
    char converted[4];
    EXPECT_EQ(WideCharToMultiByte(65001, 0, text, -1, converted, sizeof converted, nullptr, nullptr), 4);
    EXPECT_EQ(std::string(converted, 4), std::string("\xC3\xA9" "a\0", 4));
}

// The runtime converts with the same routine, so both binaries turn odd text
// into the same bytes.
TEST(ToUtf8, RuntimeConvertsAlike) {
    const char16_t odd[] = {u'a', 0xD83D, 0, 0xDE80, 0xD83D, 0xDE80, u'\u00E9'};
    const std::u16string_view text(odd, 7);
    EXPECT_EQ(runtime::utf16_to_utf8(text), to_utf8(text));
}

}  // namespace
