#include "names/backup_names.h"

#include "core/conventions.h"
#include "names/naming.h"

namespace {

constexpr std::string_view stamp_separators = ".,-_=";
constexpr std::size_t part_length = 8;
constexpr std::size_t stamp_length = 2 * part_length;
// A name in the folder where a copy is written before it is renamed.
constexpr std::string_view temporary_prefix = ".tesrak-";

// The decimal digits as a number; none when any character is no digit.
std::optional<StampValue> read_digits(std::string_view digits) {
    StampValue value = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9') return std::nullopt;
        value = value * 10 + static_cast<StampValue>(digit - '0');
    }
    return value;
}

// A suffix as build_suffix makes it: a separator and 8 digits, once or twice.
std::optional<BackupStamp> read_suffix(std::string_view suffix) {
    constexpr std::size_t field_length = 1 + part_length;
    if (suffix.size() != field_length && suffix.size() != 2 * field_length) return std::nullopt;
    StampValue value = 0;
    for (std::size_t at = 0; at < suffix.size(); at += field_length) {
        if (stamp_separators.find(suffix[at]) == std::string_view::npos) return std::nullopt;
        const std::optional<StampValue> part = read_digits(suffix.substr(at + 1, part_length));
        if (!part) return std::nullopt;
        value = value * 100'000'000 + *part;
    }
    return BackupStamp{value, suffix.size() == 2 * field_length};
}

// Whether a clock can show the stamp's date and time.
bool on_the_calendar(StampValue stamp) {
    const auto field = [&](StampValue scale) { return static_cast<unsigned>(stamp / scale % 100); };
    const auto year = static_cast<unsigned>(stamp / 1'000'000'000'000);
    const unsigned month = field(10'000'000'000);
    const unsigned day = field(100'000'000);
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    constexpr unsigned days_in_month[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    if (day > days_in_month[month - 1] + (month == 2 && leap ? 1U : 0U)) return false;
    return field(1'000'000) <= 23 && field(10'000) <= 59 && field(100) <= 59;
}

}  // namespace

std::string_view source_last_part(std::string_view source) {
    if (!platform::posix_conventions) {
        const std::size_t separator = source.find_last_of(platform::folder_separators);
        return separator == std::string_view::npos ? source : source.substr(separator + 1);
    }
    // path_inside_backup drops empty and "." parts, so the last other one ends
    // the target.
    for (std::string_view rest = source; !rest.empty();) {
        const std::size_t slash = rest.rfind('/');
        const std::string_view part = slash == std::string_view::npos ? rest : rest.substr(slash + 1);
        if (!part.empty() && part != ".") return part;
        if (slash == std::string_view::npos) break;
        rest = rest.substr(0, slash);
    }
    return {};
}

std::optional<BackupStamp> backup_stamp(std::string_view file_name, std::string_view candidate,
                                        SuffixPlace place) {
    if (candidate.size() <= file_name.size() || candidate.starts_with(temporary_prefix)) {
        return std::nullopt;
    }
    std::size_t base_length = file_name.size();
    if (place == SuffixPlace::before_extension) {
        const std::int32_t dot = find_any_extension_dot(file_name);
        if (dot == 0) return std::nullopt;
        base_length = static_cast<std::size_t>(dot - 1);
    }
    // The suffix is read first: it is short, and most names fail there. The
    // candidate is longer than the file name, so the base name at its start
    // and the extension at its end cannot overlap.
    const std::optional<BackupStamp> stamp =
        read_suffix(candidate.substr(base_length, candidate.size() - file_name.size()));
    if (!stamp || !candidate.starts_with(file_name.substr(0, base_length)) ||
        !candidate.ends_with(file_name.substr(base_length))) {
        return std::nullopt;
    }
    return stamp;
}

std::optional<BackupStamp> backup_stamp(std::string_view file_name, std::string_view candidate) {
    if (auto stamp = backup_stamp(file_name, candidate, SuffixPlace::before_extension)) return stamp;
    return backup_stamp(file_name, candidate, SuffixPlace::after_name);
}

std::optional<StampValue> parse_stamp(std::string_view text) {
    if (text.size() != part_length && text.size() != stamp_length) return std::nullopt;
    std::optional<StampValue> value = read_digits(text);
    if (!value) return std::nullopt;
    constexpr StampValue last_hundredth_of_day = 23'59'59'99;
    if (text.size() == part_length) *value = *value * 100'000'000 + last_hundredth_of_day;
    if (!on_the_calendar(*value)) return std::nullopt;
    return value;
}
