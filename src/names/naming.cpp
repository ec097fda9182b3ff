#include "names/naming.h"

#include "stamp/stamp.h"

std::string build_suffix(std::string_view stamp, const BackupSettings& settings) {
    std::string suffix;
    if (settings.unique_date == 1) (suffix += settings.separator) += date_part(stamp);
    if (settings.unique_time == 1) (suffix += settings.separator) += time_part(stamp);
    return suffix;
}

std::int32_t find_any_extension_dot(std::string_view source) {
    if (source.size() < 2) return 0;
    const std::size_t dot = source.substr(0, source.size() - 1).rfind('.');
    const std::size_t separator = source.find_last_of(platform::folder_separators);
    if (dot == std::string_view::npos || (separator != std::string_view::npos && dot < separator)) return 0;
    return static_cast<std::int32_t>(dot + 1);
}

std::int32_t find_extension_dot(std::string_view source) {
    const std::int32_t dot = find_any_extension_dot(source);
    if (!platform::posix_conventions || dot == 0) return dot;
    const std::size_t separator = source.find_last_of(platform::folder_separators);
    const std::size_t first = separator == std::string_view::npos ? 0 : separator + 1;
    return static_cast<std::size_t>(dot - 1) == first ? 0 : dot;
}

std::string path_inside_backup(std::string_view source) {
    std::string path;
    for (std::size_t start = 0; start <= source.size();) {
        std::size_t end = source.find('/', start);
        if (end == std::string_view::npos) end = source.size();
        const std::string_view part = source.substr(start, end - start);
        if (!part.empty() && part != ".") {
            if (!path.empty()) path += '/';
            path += part;
        }
        start = end + 1;
    }
    return path;
}

std::string compose_target(std::string_view source_name, std::string_view suffix,
                           const BackupSettings& settings) {
    const std::string inside = platform::posix_conventions ? path_inside_backup(source_name) : std::string();
    const std::string_view source = platform::posix_conventions ? std::string_view(inside) : source_name;
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

std::string record_of_suffix(std::string_view suffix) {
    std::string digits;
    for (const char c : suffix) {
        if (c >= '0' && c <= '9') digits += c;
    }
    return digits;
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
