// Arbitrary local-time records through the stamp formatter.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "stamp/stamp.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

std::string padded(unsigned value, std::size_t width) {
    std::string digits = std::to_string(value);
    return digits.size() < width ? std::string(width - digits.size(), '0') + digits : digits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mivo_systemtime time{};
    if (size < sizeof time) return 0;
    std::memcpy(&time, data, sizeof time);
    std::array<char, max_stamp_length> buffer;
    const std::size_t length = format_stamp(time, buffer);
    const std::string stamp(buffer.data(), length);
    require(length >= 16 && length <= max_stamp_length);
    for (const char c : stamp) require(c >= '0' && c <= '9');
    const std::string expected = padded(time.wYear, 4) + padded(time.wMonth, 2) + padded(time.wDay, 2) +
                                 padded(time.wHour, 2) + padded(time.wMinute, 2) +
                                 padded(time.wSecond, 2) + padded(time.wMilliseconds / 10U, 2);
    require(stamp == expected);
    require(date_part(stamp) == stamp.substr(0, 8));
    require(time_part(stamp) == stamp.substr(stamp.size() - 8));
    return 0;
}
