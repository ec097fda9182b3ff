// The values that the command line decides and the backup reads.
#pragma once

#include <cstdint>
#include <string>

struct BackupSettings {
    std::int32_t copy = 0;         // 1: copy, leaving the source in place; 0: move
    std::int32_t post_ext = 0;     // 1: suffix after the whole name; 0: before the extension
    std::int32_t unique_date = 1;  // 1: the stamp's date part goes into the name
    std::int32_t unique_time = 1;  // 1: the stamp's time part goes into the name
    std::string separator = ".";   // put before each stamp part

    friend bool operator==(const BackupSettings&, const BackupSettings&) = default;
};

// Exit statuses; every one but 0 and 255 comes with a message line.
enum ExitStatus : std::int32_t {
    status_ok = 0,
    status_differs = 1,  // --diff: something changed since the backup (no message, as diff)
    status_missing_source = 2,
    status_backup_failed = 3,
    status_no_arguments = 5,
    status_invalid_option = 7,
    status_invalid_unique = 8,
    status_invalid_separator = 9,
    status_invalid_keep = 10,
    status_invalid_at = 11,
    status_folder_in_use = 12,
    status_fatal = 255,
};

// A failure, for the run to report.
struct Failure {
    std::int32_t status;
    std::string message;
};
