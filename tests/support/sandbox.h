// A fresh folder for one test, removed afterwards.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::filesystem::path& path() const { return root_; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
    // The backups' names in the backup folder (or a folder inside it), sorted.
    std::vector<std::string> backups(const std::string& folder = "backup") const;

private:
    std::filesystem::path root_;
};

// True when the text matches the pattern, in which "{D}" stands for eight
// digits, "{/}" for the platform's folder separator, "{N}" for the end of a
// message line (a line feed on POSIX, a carriage return and line feed on
// Windows), "{R}" for the reason a POSIX message ends with (": " and the
// rest of the line; nothing on Windows), "{T}" for any text up to the end
// of the line, and all else for itself.
bool matches(std::string_view pattern, std::string_view text);

// The entries of a backup folder, its records left out, in the order read.
std::vector<std::filesystem::path> backups_in(const std::filesystem::path& folder);
