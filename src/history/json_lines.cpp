#include "history/json_lines.h"

#include <array>
#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence at the start of the bytes, 0 where
// there is none (overlong forms, surrogates and values past U+10FFFF are
// not valid).
std::size_t valid_sequence(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char first = byte(0);
    if (first < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        if (first == 0xE0) low = 0xA0;
        if (first == 0xED) high = 0x9F;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        if (first == 0xF0) low = 0x90;
        if (first == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (bytes.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

std::string hex_escape(unsigned value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "\\u%04x", value);
    return text.data();
}

std::string digits(unsigned value, int width) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%0*u", width, value);
    return text.data();
}

}  // namespace

std::string json_string(std::string_view bytes) {
    std::string text = "\"";
    for (std::size_t at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        const std::size_t length = valid_sequence(bytes.substr(at));
        if (length == 0) {
            text += hex_escape(0xDC00U + byte);
        } else if (byte == '"' || byte == '\\') {
            (text += '\\') += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            text += byte == '\n' ? "\\n" : byte == '\t' ? "\\t" : hex_escape(byte);
        } else {
            text.append(bytes.substr(at, length));
        }
        at += length == 0 ? 1 : length;
    }
    return text + '"';
}

std::string stamp_digits(const BackupStamp& stamp) {
    const std::string all = digits(static_cast<unsigned>(stamp.value / 100'000'000), 8) +
                            digits(static_cast<unsigned>(stamp.value % 100'000'000), 8);
    return stamp.both_parts ? all : all.substr(8);
}

std::string iso_local_time(const mivo_systemtime& time) {
    return digits(time.wYear, 4) + '-' + digits(time.wMonth, 2) + '-' + digits(time.wDay, 2) + 'T' +
           digits(time.wHour, 2) + ':' + digits(time.wMinute, 2) + ':' + digits(time.wSecond, 2) + '.' +
           digits(time.wMilliseconds / 10U, 2);
}

std::string json_line(const std::vector<std::pair<std::string_view, std::string>>& members) {
    std::string line = "{";
    for (const auto& [name, value] : members) {
        if (line.size() > 1) line += ',';
        ((line += json_string(name)) += ':') += value;
    }
    return line + "}\n";
}
