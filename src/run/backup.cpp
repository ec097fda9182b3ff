#include "run/backup.h"

#include "platform/platform.h"
#include "run/guarded.h"
#include "run/run.h"
#include "stamp/stamp.h"

std::string build_suffix(std::string_view stamp, const BackupSettings& settings) {
    std::string suffix;
    if (settings.unique_date == 1) (suffix += settings.separator) += date_part(stamp);
    if (settings.unique_time == 1) (suffix += settings.separator) += time_part(stamp);
    return suffix;
}

std::int32_t find_extension_dot(std::string_view source) {
    if (source.size() < 2) return 0;
    const std::size_t dot = source.substr(0, source.size() - 1).rfind('.');
    return dot == std::string_view::npos ? 0 : static_cast<std::int32_t>(dot + 1);
}

std::string compose_target(std::string_view source, std::string_view suffix,
                           const BackupSettings& settings) {
    std::string target(backup_folder_name);
    target += platform::folder_separator;
    const std::int32_t dot = find_extension_dot(source);
    if (dot == 0 || settings.post_ext == 1) {
        (target += source) += suffix;
    } else {
        const auto base_length = static_cast<std::size_t>(dot - 1);
        ((target += source.substr(0, base_length)) += suffix) += source.substr(base_length);
    }
    return target;
}

bool leaves_backup_folder(std::string_view target) {
    for (std::size_t start = 0; start <= target.size();) {
        std::size_t end = target.find_first_of(platform::folder_separators, start);
        if (end == std::string_view::npos) end = target.size();
        if (target.substr(start, end - start) == "..") return true;
        start = end + 1;
    }
    return false;
}

void make_backup_folder() {
    guarded_call([] { return platform::create_folder(std::string(backup_folder_name)); });
}

void check_source(const std::string& source) {
    const bool found = source.find_first_of("*?") == std::string::npos &&
                       !guarded_call([&] { return platform::path_exists(source); }).failed;
    if (!found) fail(status_missing_source, "File does not exist: ", source);
}

void transfer_file(const std::string& source, const std::string& target,
                   const BackupSettings& settings) {
    constexpr std::string_view failure = "Backup failed: ";
    if (leaves_backup_folder(target)) fail(status_backup_failed, failure, target);
    // A false result is a failure whatever the error indicator says, and a true
    // one a success: a backup that was not made is never reported as made.
    const auto transfer = guarded_call(
        [&] {
            return settings.copy == 1 ? platform::copy_file_replacing(source, target)
                                      : platform::move_file_without_replacing(source, target);
        },
        FailureRule::error_set_and_result_false);
    if (!transfer.result) fail(status_backup_failed, failure, target);
}
