// A row of a table of program runs: the case is laid out, the program run
// with the row's arguments, and its status and output checked.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

template <class Case>
struct RunRow {
    const char* name;
    std::function<void(Case&)> setup;  // lays the case out; may skip the row
    std::vector<std::string> arguments;
    int status;
    std::optional<std::string> output;  // a pattern for matches(); none: the check decides
    std::function<void(Case&)> check;
};

template <class Case>
void PrintTo(const RunRow<Case>& row, std::ostream* out) {
    *out << row.name;
}
