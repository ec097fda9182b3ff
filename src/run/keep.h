// Keeping the newest few of a file's backups (POSIX): --keep, and what a
// dry run of a backup run would make and remove.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/retention.h"
#include "platform/platform.h"
#include "core/settings.h"
#include "run/history.h"

// A source of a backup run, what stood at its name, and its new backup's
// path (empty where none was made).
struct RunSource {
    std::string source;
    SourceState state;
    std::string made;
};

// A dry run prints its plan instead of carrying it out: lines of text, or
// JSON objects (--json).
enum class Plan : std::uint8_t { none, lines, json };

// Prints the backups a dry run would make: "+ PATH", or an object with the
// action "make".
void print_planned(const std::vector<platform::Transfer>& transfers, std::string_view stamp, bool json);

// Removes each source's backups that the retention rules do not keep,
// oldest first, never the one the run made; a dry run prints "= PATH
// (reasons)" for each kept and "- PATH (frees SIZE)" for each it would
// remove instead, then what all of them free (or objects with the actions
// "keep", "remove" and "total"), counting the backups the run would make as
// made at the run's stamp.
std::optional<Failure> keep_backups(const std::vector<RunSource>& sources, const Retention& rules, Plan plan,
                                    std::string_view stamp);
