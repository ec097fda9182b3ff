// The run driver: one straight pass from the command line to the exit step.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/settings.h"

// Ends the process with the fatal status and no output: the system ran out of
// memory. Installed as the new-handler, so that no allocation throws.
[[noreturn]] void out_of_memory();

// The whole run; ends the process.
[[noreturn]] void run();

// Reports the failure (its message line, then the usage lines for status 5)
// and goes straight to the exit step.
[[noreturn]] void fail(const Failure& failure);

// Writes a message line: on Windows to standard output with a carriage
// return and line feed, on POSIX to standard error with a line feed, so that
// standard output carries only data. A failed write is ignored.
void print_line(std::string_view text);
// Writes the text as it is, in one write (POSIX answers and listings, which
// end their lines in a line feed); a failed write is ignored.
void print_answer(std::string_view text);
void print_usage();

// "ErrorLevel:" and the status as a signed number, a blank in the sign position.
std::string error_level_line(std::int32_t status);
