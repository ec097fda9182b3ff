// The names in a backup folder read back: which of them a backup run could
// have made from a file, and the stamp each one holds. Pure text work on
// views, without allocation, linear in the name's length.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// A stamp read as one number, the date part then the time part
// (YYYYMMDDhhmmsscc): the numbers order as the times do.
using StampValue = std::uint64_t;

// What a backup's name holds of its run's stamp.
struct BackupStamp {
    // Both parts: the 16 digits, date then time. One part: its 8 digits.
    StampValue value = 0;
    // False when the name holds one part. That part is a date or a time; the
    // name cannot tell which (--unique=date and --unique=time give names of
    // the same form).
    bool both_parts = false;

    friend bool operator==(const BackupStamp&, const BackupStamp&) = default;
};

// Where a run puts the suffix: before the extension dot (the default) or
// after the whole name (--post; also every run on a name without extension).
enum class SuffixPlace : std::uint8_t { before_extension, after_name };

// The part of a source name that its backup's name begins with: the last
// part, after the last folder separator. On POSIX empty and "." parts are
// skipped, as in the path inside the backup folder ("dir/" gives "dir").
std::string_view source_last_part(std::string_view source);

// The stamp a name in the backup folder holds when a run with the suffix at
// that place could have made it from file_name (a source's last part): the
// file name with a separator and 8 digits, once or twice (date then time),
// put there. Any of the five separators may stand before each part. None for
// every other name, and for every name that begins with ".tesrak-", the
// temporary files of a run.
std::optional<BackupStamp> backup_stamp(std::string_view file_name, std::string_view candidate,
                                        SuffixPlace place);

// The same for a run with the suffix at either place. A name can be read both
// ways with different stamps only when the extension is 8 digits and both
// parts are there ("a.20261207.13052599.20261207" of "a.20261207"); the
// reading before the extension, where a run puts it by default, is taken.
std::optional<BackupStamp> backup_stamp(std::string_view file_name, std::string_view candidate);

// A STAMP given by the user: 16 digits for that hundredth of a second, or 8
// for a date, standing for the last hundredth of that day (23:59:59.99). None
// for any other text, and for a date or time that no clock shows (a month
// 13, 30 February, an hour 24, a minute or second 60).
std::optional<StampValue> parse_stamp(std::string_view text);
