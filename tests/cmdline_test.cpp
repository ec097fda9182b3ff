#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"

namespace {

BackupSettings settings_with(std::int32_t copy, std::int32_t post_ext, std::int32_t unique_date,
                             std::int32_t unique_time, std::string separator) {
    return BackupSettings{copy, post_ext, unique_date, unique_time, std::move(separator)};
}

const BackupSettings defaults;

struct TailRow {
    std::string tail;
    std::vector<std::string> fields;  // after tabs became blanks
    std::string source;
    std::int32_t status;
    std::string message;
    BackupSettings settings;  // when the status is 0
};

TEST(CommandLine, FieldsSourceAndOutcomeOfEachTail) {
    const std::vector<TailRow> rows{
        {"a.txt", {"a.txt"}, "a.txt", 0, "", defaults},
        {"a.txt -copy", {"a.txt", "-copy"}, "a.txt", 0, "", settings_with(1, 0, 1, 1, ".")},
        {"a.txt  -copy", {"a.txt", "", "-copy"}, "a.txt", 0, "", settings_with(1, 0, 1, 1, ".")},
        {"a.txt\t-copy", {"a.txt", "-copy"}, "a.txt", 0, "", settings_with(1, 0, 1, 1, ".")},
        {"a.txt\t -copy", {"a.txt", "", "-copy"}, "a.txt", 0, "", settings_with(1, 0, 1, 1, ".")},
        {"a.txt ", {"a.txt", ""}, "a.txt", 0, "", defaults},
        {"\"my file.txt\" /unique=date", {"\"my", "file.txt\"", "/unique=date"}, "\"my", 0, "",
         settings_with(0, 0, 1, 0, ".")},
        {"-copy a.txt", {"-copy", "a.txt"}, "-copy", 0, "", defaults},
        {"a.txt b.txt -copy", {"a.txt", "b.txt", "-copy"}, "a.txt", 0, "",
         settings_with(1, 0, 1, 1, ".")},
        {"a.txt copy", {"a.txt", "copy"}, "a.txt", 0, "", defaults},
        {"a.txt /x -copy", {"a.txt", "/x", "-copy"}, "a.txt", 7, "Invalid option: /x", {}},
        {"a.txt -", {"a.txt", "-"}, "a.txt", 7, "Invalid option: -", {}},
        {"a.txt -sep=\" \"", {"a.txt", "-sep=\"", "\""}, "a.txt", 9,
         "Invalid choice for the /separator option: \"", {}},
        {"\t", {"", ""}, "", 0, "", defaults},
        {"\ta.txt", {"", "a.txt"}, "", 0, "", defaults},
        {"   ", {"", "", "", ""}, "", 0, "", defaults},
        {"a.txt\r\n -copy", {"a.txt\r\n", "-copy"}, "a.txt\r\n", 0, "", settings_with(1, 0, 1, 1, ".")},
        {"", {""}, "", 5, "Invalid Command Format: no arguments found", {}},
    };
    for (const TailRow& row : rows) {
        SCOPED_TRACE("tail: [" + row.tail + "]");
        std::string without_tabs = row.tail;
        for (char& c : without_tabs) c = c == '\t' ? ' ' : c;
        const std::vector<std::string_view> fields = split_fields(without_tabs);
        EXPECT_EQ(std::vector<std::string>(fields.begin(), fields.end()), row.fields);

        BackupSettings settings;
        std::string source;
        const auto failure = parse_command_tail(row.tail, settings, source);
        EXPECT_EQ(failure ? failure->status : 0, row.status);
        EXPECT_EQ(failure ? failure->message : "", row.message);
        if (row.status == 0) {
            EXPECT_EQ(source, row.source);
            EXPECT_EQ(settings, row.settings);
        }
    }
}

TEST(CommandLine, TailAfterTheProgramName) {
    const std::vector<std::pair<std::string, std::string>> rows{
        {"prog.exe a.txt", "a.txt"},
        {"prog.exe   a.txt  -copy ", "a.txt  -copy "},
        {"\"D:\\My Tools\\prog.exe\" a.txt", "a.txt"},
        {"\"prog.exe\"a.txt", "a.txt"},
        {"prog.exe", ""},
        {"prog.exe   ", ""},
        {"\"prog.exe\"", ""},
        {"prog.exe\ta.txt", "\ta.txt"},
        {"prog.exe \t", "\t"},
        {"\"prog.exe\"  \t a.txt", "\t a.txt"},
        {"D:\\\"My Tools\"\\prog.exe a.txt", "Tools\"\\prog.exe a.txt"},
        {"  a.txt", "a.txt"},
        {"pr\xe9g\xa0.exe a.txt", "a.txt"},
        {"", ""},
        {"\"prog.exe a.txt", ""},
        {std::string("prog.exe a.txt\0 -copy", 21), "a.txt"},
        {"prog.exe\x1f" "a.txt", "\x1f" "a.txt"},
        {"\tprog.exe a.txt -copy", "a.txt -copy"},
        {"\x01prog.exe a.txt", "a.txt"},
        {"\tprog.exe", ""},
    };
    for (const auto& [line, tail] : rows) {
        EXPECT_EQ(command_tail(line), tail) << "command line: [" << line << "]";
    }
}

struct SwitchRow {
    std::string switches;
    std::int32_t status;
    std::string message;
    BackupSettings settings;  // when the status is 0
};

TEST(Options, EachSwitchFieldAfterAValidSource) {
    const std::vector<SwitchRow> rows{
        {"/SEP=_", 0, "", settings_with(0, 0, 1, 1, "_")},
        {"/copy", 0, "", settings_with(1, 0, 1, 1, ".")},
        {"-Copy", 0, "", settings_with(1, 0, 1, 1, ".")},
        {"/POST_EXT", 0, "", settings_with(0, 1, 1, 1, ".")},
        {"-post", 0, "", settings_with(0, 1, 1, 1, ".")},
        {"-copy=no", 0, "", settings_with(1, 0, 1, 1, ".")},
        {"-pre:whatever", 0, "", defaults},
        {"-unique:time", 0, "", settings_with(0, 0, 0, 1, ".")},
        {"-unique=date", 0, "", settings_with(0, 0, 1, 0, ".")},
        {"-unique=datetime", 0, "", defaults},
        {"-sep==", 0, "", settings_with(0, 0, 1, 1, "=")},
        {"-sep:=", 0, "", settings_with(0, 0, 1, 1, "=")},
        {"-separator=,", 0, "", settings_with(0, 0, 1, 1, ",")},
        {"-sep=-", 0, "", settings_with(0, 0, 1, 1, "-")},
        {"-sep=.", 0, "", defaults},
        {"-sep=:", 9, "Invalid choice for the /separator option: :", {}},
        {"-sep=..", 9, "Invalid choice for the /separator option: ..", {}},
        {"/sep", 9, "Invalid choice for the /separator option: ", {}},
        {"/separator=", 9, "Invalid choice for the /separator option: ", {}},
        {"-SEP=x", 9, "Invalid choice for the /separator option: x", {}},
        {"/unique=DATE", 8, "Invalid choice for the /unique option: DATE", {}},
        {"/unique", 8, "Invalid choice for the /unique option: ", {}},
        {"-unique=time:date", 8, "Invalid choice for the /unique option: time:date", {}},
        {"/x=y", 7, "Invalid option: /x=y", {}},
        {"-", 7, "Invalid option: -", {}},
        {"-=copy", 7, "Invalid option: -=copy", {}},
        {"--copy", 7, "Invalid option: --copy", {}},
        {"-co", 7, "Invalid option: -co", {}},
        {"/Copy\xc9", 7, "Invalid option: /Copy\xc9", {}},
        {"-post -pre", 0, "", defaults},
        {"-pre -post", 0, "", settings_with(0, 1, 1, 1, ".")},
        {"-sep=_ -sep=-", 0, "", settings_with(0, 0, 1, 1, "-")},
        {"-unique=date -unique=time", 0, "", settings_with(0, 0, 0, 1, ".")},
        {"-unique=time -unique=datetime", 0, "", defaults},
        {"-copy -x -sep=_", 7, "Invalid option: -x", {}},
        {"-unique=never -x", 8, "Invalid choice for the /unique option: never", {}},
    };
    for (const SwitchRow& row : rows) {
        SCOPED_TRACE("switches: " + row.switches);
        BackupSettings settings;
        std::string source;
        const auto failure = parse_command_tail("a.txt " + row.switches, settings, source);
        EXPECT_EQ(failure ? failure->status : 0, row.status);
        EXPECT_EQ(failure ? failure->message : "", row.message);
        if (row.status == 0) {
            EXPECT_EQ(settings, row.settings);
        }
    }
}

// The POSIX words of the switches that go with --list, --restore and --diff.
TEST(Arguments, SwitchesOfAPathsVersions) {
    struct Row {
        std::vector<std::string_view> words;
        std::int32_t status;
        std::string message;
        // When the status is 0: --distinct, --size, --output's value, --to's stamp.
        bool distinct = false;
        bool sizes = false;
        std::optional<std::string> output = std::nullopt;
        std::optional<StampValue> to = std::nullopt;
    };
    const std::vector<Row> rows{
        {{"--list", "--distinct", "a.c"}, 0, "", true},
        {{"--list", "--size", "--json", "a.c"}, 0, "", false, true},
        {{"--list", "--distinct", "--size", "--null", "a.c"}, 0, "", true, true},
        {{"--distinct", "a.c"}, 7, "Invalid option: --distinct"},
        {{"--restore", "--size", "a.c"}, 7, "Invalid option: --size"},
        {{"--list", "--distinct=yes", "a.c"}, 7, "Invalid option: --distinct=yes"},
        {{"--restore", "--output=b.c", "a.c"}, 0, "", false, false, "b.c"},
        {{"--restore", "--output=-", "a.c"}, 0, "", false, false, "-"},
        // A later switch overrides an earlier one.
        {{"--restore", "--output=b.c", "a.c", "--output=c.c"}, 0, "", false, false, "c.c"},
        {{"--restore", "--output=b.c", "a.c", "d.c"}, 7, "Invalid option: --output=b.c"},
        {{"--restore", "--output=", "a.c"}, 7, "Invalid option: --output="},
        {{"--output=b.c", "-copy", "a.c"}, 7, "Invalid option: --output=b.c"},
        {{"--restore", "--output=b.c"}, 5, "Invalid Command Format: no arguments found"},
        {{"--diff", "--at=20261201", "--to=2026120813000000", "a.c"}, 0, "", false, false, std::nullopt,
         2026120813000000},
        {{"--diff", "--at=20261201", "--to=20261202", "--to=20261203", "a.c"}, 0, "", false, false, std::nullopt,
         2026120323595999},
        {{"--diff", "--to=20261202", "a.c"}, 7, "Invalid option: --to=20261202"},
        {{"--restore", "--at=20261201", "--to=20261202", "a.c"}, 7, "Invalid option: --to=20261202"},
        {{"--diff", "--at=20261201", "--to=2026", "a.c"}, 11, "Invalid choice for the --to option: 2026"},
    };
    for (const Row& row : rows) {
        const std::string words = ::testing::PrintToString(row.words);
        BackupSettings settings;
        Request request;
        const auto failure = parse_arguments(row.words, settings, request);
        EXPECT_EQ(failure ? failure->status : 0, row.status) << words;
        EXPECT_EQ(failure ? failure->message : "", row.message) << words;
        if (row.status != 0) continue;
        EXPECT_EQ(request.distinct, row.distinct) << words;
        EXPECT_EQ(request.sizes, row.sizes) << words;
        EXPECT_EQ(request.output, row.output) << words;
        EXPECT_EQ(request.to, row.to) << words;
    }
}

TEST(Options, NameAndValueOfAField) {
    const std::vector<std::tuple<std::string, std::string, std::string>> rows{
        {"-copy", "copy", ""},  {"/sep=_", "sep", "_"}, {"-sep==", "sep", "="},
        {"-a:b=c", "a", "b=c"}, {"-a=:", "a", ":"},     {"-", "", ""},
        {"-=x", "", "x"},       {"/name=", "name", ""},
    };
    for (const auto& [field, name, value] : rows) {
        const OptionParts parts = split_option(field);
        EXPECT_EQ(parts.name, name) << field;
        EXPECT_EQ(parts.value, value) << field;
    }
}

}  // namespace
