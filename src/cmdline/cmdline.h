// The command line: the command tail, its fields, the source name and the
// switches. All of it is text work except parse_command_line, which reads the
// process's command line and reports failures.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run/settings.h"

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

// Reads the process's command line; a failure ends the run.
void parse_command_line(BackupSettings& settings, std::string& source);
