#include "stamp/stamp.h"

namespace {

constexpr std::size_t part_length = 8;

// Appends value in decimal, padded on the left with zeros to width digits.
std::size_t append_field(unsigned value, std::size_t width, std::span<char, max_stamp_length> out,
                         std::size_t at) {
    char digits[5];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (; width > count; --width) out[at++] = '0';
    while (count != 0) out[at++] = digits[--count];
    return at;
}

}  // namespace

std::size_t format_stamp(const mivo_systemtime& time, std::span<char, max_stamp_length> out) {
    std::size_t at = 0;
    at = append_field(time.wYear, 4, out, at);
    at = append_field(time.wMonth, 2, out, at);
    at = append_field(time.wDay, 2, out, at);
    at = append_field(time.wHour, 2, out, at);
    at = append_field(time.wMinute, 2, out, at);
    at = append_field(time.wSecond, 2, out, at);
    return append_field(time.wMilliseconds / 10U, 2, out, at);
}

std::string_view date_part(std::string_view stamp) {
    return stamp.substr(0, part_length);
}

std::string_view time_part(std::string_view stamp) {
    return stamp.size() <= part_length ? stamp : stamp.substr(stamp.size() - part_length);
}
