// The text of --json: strings that carry any bytes, stamps and local times.
#include <gtest/gtest.h>

#include <string>

#include "history/json_lines.h"

namespace {

struct StringRow {
    const char* name;
    std::string bytes;
    std::string json;
};

class JsonString : public testing::TestWithParam<StringRow> {};

TEST_P(JsonString, Row) { EXPECT_EQ(json_string(GetParam().bytes), GetParam().json); }

INSTANTIATE_TEST_SUITE_P(
    Bytes, JsonString,
    testing::Values(StringRow{"plain", "backup/a.txt", "\"backup/a.txt\""},
                    StringRow{"quote_and_backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
                    StringRow{"line_end_tab_and_control", "a\nb\tc\x01\x7f", "\"a\\nb\\tc\\u0001\\u007f\""},
                    StringRow{"valid_utf8_stays", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
                    StringRow{"lone_high_byte", "f\xff", "\"f\\udcff\""},
                    StringRow{"cut_sequence", "\xe2\x82", "\"\\udce2\\udc82\""},
                    StringRow{"overlong_slash", "\xc0\xaf", "\"\\udcc0\\udcaf\""},
                    StringRow{"encoded_surrogate", "\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},
                    StringRow{"past_the_last_code_point", "\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},
                    StringRow{"nul_byte", std::string("a\0b", 3), "\"a\\u0000b\""}),
    [](const testing::TestParamInfo<StringRow>& info) { return std::string(info.param.name); });

TEST(JsonLines, StampsAndTimes) {
    EXPECT_EQ(stamp_digits({2026120813052599ULL, true}), "2026120813052599");
    EXPECT_EQ(stamp_digits({20261208ULL, false}), "20261208");
    EXPECT_EQ(stamp_digits({99ULL, true}), "0000000000000099");
    EXPECT_EQ(iso_local_time({2026, 3, 2, 4, 5, 6, 7, 990}), "2026-03-04T05:06:07.99");
    EXPECT_EQ(json_line({{"path", "\"a\""}, {"size", "3"}}), "{\"path\":\"a\",\"size\":3}\n");
}

}  // namespace
