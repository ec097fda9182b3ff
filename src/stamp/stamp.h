// The local-time stamp: seven record fields in decimal, minimum widths, nothing
// cut off. Pure digit work with no library calls, so that it also runs inside a
// module whose C runtime was never started.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "tesrak.h"

// Six fields of at most five digits (65535) and hundredths of at most four.
inline constexpr std::size_t max_stamp_length = 6 * 5 + 4;

// Writes the stamp of the record into the buffer and returns its length.
std::size_t format_stamp(const mivo_systemtime& time, std::span<char, max_stamp_length> out);

// The first eight characters of the stamp (all of it when shorter).
std::string_view date_part(std::string_view stamp);
// The last eight characters of the stamp (all of it when shorter).
std::string_view time_part(std::string_view stamp);
