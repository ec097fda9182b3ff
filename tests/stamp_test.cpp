#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <string>
#include <vector>

#include "stamp/stamp.h"

#ifdef _WIN32
#include <oleauto.h>
#else
#include <cstdlib>
#endif

namespace {

constexpr std::uint16_t max = 65535;

mivo_systemtime record(std::uint16_t year, std::uint16_t month, std::uint16_t day,
                       std::uint16_t hour, std::uint16_t minute, std::uint16_t second,
                       std::uint16_t milliseconds, std::uint16_t day_of_week = 0) {
    return {year, month, day_of_week, day, hour, minute, second, milliseconds};
}

std::string stamp_of(const mivo_systemtime& time) {
    std::array<char, max_stamp_length> buffer;
    return {buffer.data(), format_stamp(time, buffer)};
}

// The text of an exported function's result, which stays owned by the caller.
std::string text_of(mivo_text result) {
#ifdef _WIN32
    return {reinterpret_cast<const char*>(result), SysStringByteLen(result)};
#else
    return result;
#endif
}

void release(mivo_text result) {
#ifdef _WIN32
    SysFreeString(result);
#else
    std::free(result);
#endif
}

bool all_digits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

TEST(Stamp, FormatsEachRecord) {
    const std::vector<std::pair<mivo_systemtime, std::string>> rows{
        {record(2011, 3, 4, 13, 5, 2, 599), "2011030413050259"},
        {record(2011, 3, 4, 13, 5, 2, 0), "2011030413050200"},
        {record(2011, 3, 4, 13, 5, 2, 5), "2011030413050200"},
        {record(2011, 3, 4, 13, 5, 2, 9), "2011030413050200"},
        {record(2011, 3, 4, 13, 5, 2, 10), "2011030413050201"},
        {record(2011, 3, 4, 13, 5, 2, 994), "2011030413050299"},
        {record(2011, 3, 4, 13, 5, 2, 995), "2011030413050299"},
        {record(2011, 3, 4, 13, 5, 2, 999), "2011030413050299"},
        {record(1601, 1, 1, 0, 0, 0, 0), "1601010100000000"},
        {record(9999, 12, 31, 23, 59, 59, 999), "9999123123595999"},
        {record(7, 1, 2, 3, 4, 5, 6), "0007010203040500"},
        {record(0, 0, 0, 0, 0, 0, 0), "0000000000000000"},
        {record(10000, 1, 2, 3, 4, 5, 6), "10000010203040500"},
        {record(32768, 3, 4, 13, 5, 2, 1), "32768030413050200"},
        {record(2011, 123, 4, 13, 5, 2, 1000), "201112304130502100"},
        {record(2011, 3, 4, 13, 5, 2, 1005), "20110304130502100"},
        {record(2011, 3, 4, 13, 5, 2, max), "201103041305026553"},
        {record(max, max, max, max, max, max, max, max), "6553565535655356553565535655356553"},
        {record(2011, 3, 4, 13, 5, 2, 599, max), "2011030413050259"},
        {record(2011, 13, 0, 25, 60, 61, 0), "2011130025606100"},
    };
    for (const auto& [time, expected] : rows) {
        EXPECT_EQ(stamp_of(time), expected);
        mivo_text exported = mivo_format_systime_x16(&time);
        ASSERT_NE(exported, nullptr);
        EXPECT_EQ(text_of(exported), expected);
        release(exported);
    }
}

TEST(Stamp, DateAndTimeParts) {
    const std::vector<std::tuple<std::string, std::string, std::string>> rows{
        {"2011030413050259", "20110304", "13050259"},
        {"10000010203040500", "10000010", "03040500"},
        {"1234567", "1234567", "1234567"},
        {"12345678", "12345678", "12345678"},
    };
    for (const auto& [stamp, date, time] : rows) {
        EXPECT_EQ(date_part(stamp), date) << stamp;
        EXPECT_EQ(time_part(stamp), time) << stamp;
    }
}

TEST(Stamp, EachCallGivesItsOwnResult) {
    const mivo_systemtime time = record(2011, 3, 4, 13, 5, 2, 599);
    mivo_text first = mivo_format_systime_x16(&time);
    mivo_text second = mivo_format_systime_x16(&time);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    release(first);
    EXPECT_EQ(text_of(second), "2011030413050259");
    release(second);
}

// The local time to the second, read through the C library's own clock and
// moved by `offset` seconds. time() may read a coarser clock than the stamp
// does and lag it by up to one tick, so the bounds below allow a second.
std::string library_clock(std::time_t offset) {
    const std::time_t now = std::time(nullptr) + offset;
    std::array<char, 32> text{};
    return {text.data(), std::strftime(text.data(), text.size(), "%Y%m%d%H%M%S", std::localtime(&now))};
}

TEST(Stamp, CurrentDateReadsTheLocalClock) {
    const std::string before = library_clock(-1);
    mivo_text current = mivo_current_date();
    const std::string after = library_clock(1);
    ASSERT_NE(current, nullptr);
    const std::string stamp = text_of(current);
    release(current);
    EXPECT_EQ(stamp.size(), 16U);
    EXPECT_TRUE(all_digits(stamp)) << stamp;
    EXPECT_LE(before, stamp.substr(0, 14));
    EXPECT_LE(stamp.substr(0, 14), after);
}

}  // namespace
