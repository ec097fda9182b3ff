// The text of --json: one JSON object a line (JSON Lines), for scripts.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "names/backup_names.h"
#include "tesrak.h"

// Bytes as a JSON string, quotes included. Valid UTF-8 stays as it is; each
// byte that is not part of a valid UTF-8 sequence is written as the lone
// surrogate \udcXX of its value XX, as Python's "surrogateescape" reads it
// back, so that every name survives the trip.
std::string json_string(std::string_view bytes);

// The stamp as it is given to --at: 16 digits, or 8 where a name holds one part.
std::string stamp_digits(const BackupStamp& stamp);

// A local date and time in ISO 8601, to the hundredth of a second:
// "2026-12-08T13:05:25.99".
std::string iso_local_time(const mivo_systemtime& time);

// One line of members, each value already JSON: {"a":1,"b":"x"} and LF.
std::string json_line(const std::vector<std::pair<std::string_view, std::string>>& members);
