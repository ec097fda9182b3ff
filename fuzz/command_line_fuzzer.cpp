// Arbitrary bytes as the whole command-line text, through the name removal,
// the tabs, the splitting and the switches, and on to the backup's name.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cmdline/cmdline.h"
#include "run/backup.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    BackupSettings settings;
    std::string source;
    const auto failure = parse_command_tail(command_tail(line), settings, source);
    if (failure) {
        switch (failure->status) {
        case status_no_arguments:
            require(failure->message == "Invalid Command Format: no arguments found");
            break;
        case status_invalid_option:
            require(starts_with_any(failure->message, {"Invalid option: -", "Invalid option: /"}));
            break;
        case status_invalid_unique:
            require(starts_with_any(failure->message, {"Invalid choice for the /unique option: "}));
            break;
        case status_invalid_separator:
            require(starts_with_any(failure->message, {"Invalid choice for the /separator option: "}));
            break;
        default:
            require(false);
        }
        return 0;
    }
    constexpr std::array<std::string_view, 5> separators{".", ",", "-", "_", "="};
    require(std::find(separators.begin(), separators.end(), settings.separator) != separators.end());
    require(settings.unique_date == 1 || settings.unique_time == 1);
    require(source.find_first_of(" \t") == std::string::npos);

    const std::int32_t dot = find_extension_dot(source);
    require(dot >= 0 && static_cast<std::size_t>(dot) < std::max<std::size_t>(source.size(), 1));
    const std::string suffix = build_suffix("2011030413050259", settings);
    const std::string target = compose_target(source, suffix, settings);
    require(target.size() == 7 + source.size() + suffix.size());
    require(target.starts_with("backup/"));
    return 0;
}
