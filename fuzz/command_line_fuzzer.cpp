// Arbitrary bytes as the whole command-line text, through the name removal,
// the tabs, the splitting and the switches, and on to the backup's name; and
// the same bytes as separate arguments, the POSIX way.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline/cmdline.h"
#include "run/backup.h"
#include "snapshot/exclude.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool starts_with_any(std::string_view message, std::initializer_list<std::string_view> prefixes) {
    for (const std::string_view prefix : prefixes) {
        if (message.starts_with(prefix)) return true;
    }
    return false;
}

// The failure must be one the command line can give, with its message. The
// Windows half takes switches after "-" or "/"; the POSIX half after "-" only,
// and it alone has the long switches with values (--keep=, --at=, --to=).
void require_known(const Failure& failure, bool posix) {
    switch (failure.status) {
    case status_no_arguments:
        require(failure.message == "Invalid Command Format: no arguments found");
        break;
    case status_invalid_option:
        require(posix ? failure.message.starts_with("Invalid option: -")
                      : starts_with_any(failure.message, {"Invalid option: -", "Invalid option: /"}));
        break;
    case status_invalid_unique:
        require(failure.message.starts_with("Invalid choice for the /unique option: "));
        break;
    case status_invalid_separator:
        require(failure.message.starts_with("Invalid choice for the /separator option: "));
        break;
    case status_invalid_keep:
        require(posix && starts_with_any(failure.message,
                                         {"Invalid choice for the --keep option: ",
                                          "Invalid choice for the --keep-hourly option: ",
                                          "Invalid choice for the --keep-daily option: ",
                                          "Invalid choice for the --keep-weekly option: ",
                                          "Invalid choice for the --keep-monthly option: ",
                                          "Invalid choice for the --keep-yearly option: ",
                                          "Invalid choice for the --keep-within option: "}));
        break;
    case status_invalid_at:
        require(posix && starts_with_any(failure.message, {"Invalid choice for the --at option: ",
                                                            "Invalid choice for the --to option: "}));
        break;
    default:
        require(false);
    }
}

void require_valid(const BackupSettings& settings) {
    constexpr std::array<std::string_view, 5> separators{".", ",", "-", "_", "="};
    require(std::find(separators.begin(), separators.end(), settings.separator) != separators.end());
    require(settings.unique_date == 1 || settings.unique_time == 1);
}

// The backup's name for a source: inside the backup folder, with the suffix,
// and on this build (POSIX) without "." parts or empty ones.
void require_target(std::string_view source, const BackupSettings& settings) {
    const std::int32_t dot = find_extension_dot(source);
    require(dot >= 0 && static_cast<std::size_t>(dot) < std::max<std::size_t>(source.size(), 1));
    const std::string suffix = build_suffix("2011030413050259", settings);
    const std::string target = compose_target(source, suffix, settings);
    require(target.starts_with("backup/"));
    require(target.size() <= 7 + source.size() + suffix.size());
    const std::string inside = target.substr(7);
    require(inside.find("//") == std::string::npos && !inside.starts_with("./") && !inside.starts_with("/"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The bytes as a Windows command line.
    BackupSettings settings;
    std::string source;
    if (const auto failure = parse_command_tail(command_tail(text), settings, source)) {
        require_known(*failure, false);
    } else {
        require_valid(settings);
        require(source.find_first_of(" \t") == std::string::npos);
        require_target(source, settings);
    }
    // The same bytes as POSIX arguments, one at each NUL byte.
    std::vector<std::string_view> words;
    for (std::size_t start = 0; start < size;) {
        const std::size_t end = std::min(text.find('\0', start), size);
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    BackupSettings posix_settings;
    Request request;
    if (const auto failure = parse_arguments(words, posix_settings, request)) {
        require_known(*failure, true);
        return 0;
    }
    require(request.sources.empty() != request.answer.empty());
    require_valid(posix_settings);
    for (const std::string& name : request.sources) require_target(name, posix_settings);
    for (const std::string& pattern : request.excludes) require(valid_exclude(pattern));
    return 0;
}
