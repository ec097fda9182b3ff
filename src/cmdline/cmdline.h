// The command line: on Windows the command tail, its fields, the source name
// and the switches; on POSIX the arguments, each one whole, with several files.
// All of it is text work except parse_command_line, which reads the process's
// command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "names/backup_names.h"
#include "history/retention.h"
#include "core/settings.h"

// The command line without the program's name and the blanks after it. The
// scan ends at the end of the text or at a NUL byte, whichever comes first.
std::string command_tail(std::string_view command_line);

// The fields of a text that holds no tab: every single blank separates two.
// Always at least one field; the fields are views into the text.
std::vector<std::string_view> split_fields(std::string_view text);

struct OptionParts {
    std::string_view name;
    std::string_view value;
};

// Name and value of a switch field (prefix byte first), split at the first
// "=" or ":".
OptionParts split_option(std::string_view field);

// Applies one switch field to the settings, or returns why it was refused.
std::optional<Failure> apply_option(std::string_view field, BackupSettings& settings);

// Takes the source name from a command tail and applies its switches, left to
// right, stopping at the first that is refused.
std::optional<Failure> parse_command_tail(std::string tail, BackupSettings& settings,
                                          std::string& source);

// What a run does with its files: back them up, or (POSIX) list or restore
// their backups, or compare them with their newest.
enum class Task : std::uint8_t { back_up, list, restore, diff, verify };

// --verify=N/T: of the files in backups, split into T groups by their
// identity, only the N-th (from 1) is checked.
struct VerifyGroup {
    std::uint32_t number = 1;
    std::uint32_t groups = 1;
};

// What a command line asks for: the files, in the order given, and what to do
// with them, or the lines that answer --help or --version.
struct Request {
    std::vector<std::string> sources;
    std::vector<std::string_view> answer;
    Task task = Task::back_up;
    bool null_ends = false;          // --null: listed paths end with a NUL byte
    std::optional<StampValue> at;    // --at=STAMP: the newest backup made by then
    Retention keep;                  // --keep=N, --keep-daily=N, ...: which backups stay; none: all
    bool if_changed = false;         // --if-changed: no copy that its newest backup equals
    bool dry_run = false;            // --dry-run: say what would be done, do nothing
    bool no_wait = false;            // --no-wait: end at once where another run holds the backup folder
    bool no_share = false;           // --no-share: a snapshot shares no file with an earlier one
    bool json = false;               // --json: a JSON object a line, for scripts
    std::vector<std::string> excludes;  // --exclude=PATTERN: left out of folder snapshots
    bool quiet = false;              // --quiet: no progress line on a terminal
    VerifyGroup verify_group;        // --verify=N/T: the part of the files checked
    bool distinct = false;           // --distinct: --list prints the backup that first saved each version
    bool sizes = false;              // --size: --list adds each one's room and what removing it frees
    std::optional<std::string> output;  // --output=DEST: a restore writes there instead ("-": standard output)
    std::optional<StampValue> to;    // --to=STAMP: --diff compares the version at --at with this one's
};

// Takes the files and applies the switches of separate arguments (POSIX): a
// word that begins with "-" and is longer is a switch wherever it stands, "--"
// makes every later word a file, and every other word is a file. All
// switches are applied before the files are looked at; a switch that does not
// fit the task (--null without --list, say) is refused as unknown.
std::optional<Failure> parse_arguments(const std::vector<std::string_view>& words,
                                       BackupSettings& settings, Request& request);

// Reads the process's command line.
std::optional<Failure> parse_command_line(BackupSettings& settings, Request& request);

// The usage lines, shown with status 5 and by --help: POSIX users see the
// forms of their own command line.
#ifdef _WIN32
inline constexpr std::string_view usage_lines[] = {
    "   Tesrak [infile] [-copy] [options]",
    "      [-copy] Default is to move file, -copy leaves original",
};
#else
inline constexpr std::string_view usage_lines[] = {
    "Usage: tesrak [options] file...",
    "       tesrak --list [--null | --json] [--distinct] [--size] file...",
    "       tesrak --restore [--at=STAMP] [--output=DEST] [options] file...",
    "       tesrak --diff [--at=STAMP [--to=STAMP]] [--json] file...",
    "       tesrak --verify[=N/T] [--at=STAMP] [--json] file...",
};
#endif
