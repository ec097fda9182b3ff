#include "support/sandbox.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/platform.h"

namespace fs = std::filesystem;

Sandbox::Sandbox() {
    std::random_device random;
    do {
        root_ = fs::temp_directory_path() / ("tesrak-test-" + std::to_string(random()));
    } while (!fs::create_directory(root_));
}

Sandbox::~Sandbox() {
    std::error_code ignored;
    fs::permissions(root_ / "backup", fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
}

void Sandbox::write(const std::string& name, const std::string& content) const {
    fs::create_directories((root_ / name).parent_path());
    std::ofstream(root_ / name, std::ios::binary) << content;
}

std::string Sandbox::read(const std::string& name) const {
    std::ifstream in(root_ / name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool Sandbox::exists(const std::string& name) const {
    return fs::exists(fs::symlink_status(root_ / name));
}

std::vector<std::string> Sandbox::backups(const std::string& folder) const {
    std::vector<std::string> names;
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(root_ / folder, missing)) {
        // The records kept beside backups (their digests, a snapshot's
        // exclude patterns) are no backups.
        const std::string name = entry.path().filename().string();
        if (name != ".tesrak.excludes" && name != ".tesrak.sha256") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<fs::path> backups_in(const fs::path& folder) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (!entry.path().filename().string().starts_with(".tesrak.")) found.push_back(entry.path());
    }
    return found;
}

bool matches(std::string_view pattern, std::string_view text) {
    constexpr std::string_view digits = "{D}";
    constexpr std::string_view separator = "{/}";
    constexpr std::string_view line_end = "{N}";
    constexpr std::string_view reason = "{R}";
    constexpr std::string_view rest_of_line = "{T}";
    while (!pattern.empty()) {
        if (pattern.starts_with(rest_of_line)) {
            text.remove_prefix(std::min(text.size(), text.find('\n')));
            pattern.remove_prefix(rest_of_line.size());
        } else if (pattern.starts_with(line_end)) {
            const std::string_view end = platform::posix_conventions ? "\n" : "\r\n";
            if (!text.starts_with(end)) return false;
            pattern.remove_prefix(line_end.size());
            text.remove_prefix(end.size());
        } else if (pattern.starts_with(reason)) {
            if (platform::posix_conventions) {
                const std::size_t end = text.find('\n');
                if (!text.starts_with(": ") || end == std::string_view::npos || end < 3) return false;
                text.remove_prefix(end);
            }
            pattern.remove_prefix(reason.size());
        } else if (pattern.starts_with(digits)) {
            if (text.size() < 8 || !std::all_of(text.begin(), text.begin() + 8,
                                                [](char c) { return c >= '0' && c <= '9'; })) {
                return false;
            }
            pattern.remove_prefix(digits.size());
            text.remove_prefix(8);
        } else {
            const char expected =
                pattern.starts_with(separator) ? platform::folder_separator : pattern.front();
            if (text.empty() || text.front() != expected) return false;
            pattern.remove_prefix(pattern.starts_with(separator) ? separator.size() : 1);
            text.remove_prefix(1);
        }
    }
    return text.empty();
}
