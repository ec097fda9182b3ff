// Windows only: exact command-line texts, as CreateProcessA passes them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

const std::string usage_output =
    "Invalid Command Format: no arguments found\r\n   Tesrak [infile] [-copy] [options]\r\n"
    "      [-copy] Default is to move file, -copy leaves original\r\nErrorLevel: 5\r\n";

TEST(WindowsCommandLine, ExactTexts) {
    const std::string quoted = "\"" + tesrak_windows_path() + "\"";
    struct Row {
        std::string line;
        int exit_code;
        std::string output;
        bool copied;
    };
    const std::vector<Row> rows{
        {quoted + "a.txt -copy", 0, "", true},
        {quoted + "   a.txt  -copy ", 0, "", true},
        {quoted + " a.txt\t-copy", 0, "", true},
        {quoted + "\ta.txt -copy", 2, "File does not exist: \r\nErrorLevel: 2\r\n", false},
        {quoted + " \t", 2, "File does not exist: \r\nErrorLevel: 2\r\n", false},
        {quoted + "  \t a.txt -copy", 2, "File does not exist: \r\nErrorLevel: 2\r\n", false},
        {quoted + " a.txt\t/x -copy", 7, "Invalid option: /x\r\nErrorLevel: 7\r\n", false},
        {"Tesrak.exe a.txt -copy", 0, "", true},
        {"Tesrak.exe\ta.txt -copy", 2, "File does not exist: \r\nErrorLevel: 2\r\n", false},
        {"  a.txt -copy", 0, "", true},
        {"Tesrak.exe    ", 5, usage_output, false},
        {quoted, 5, usage_output, false},
        {quoted + "   ", 5, usage_output, false},
        {"\"Tesrak.exe", 5, usage_output, false},
        {"\tTesrak.exe a.txt -copy", 0, "", true},
        {"\x01Tesrak.exe a.txt -copy", 0, "", true},
        {"\tTesrak.exe", 5, usage_output, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("command line: [" + row.line + "]");
        const Sandbox sandbox;
        sandbox.write("a.txt", "content");
        const ProgramRun result = run_command_line(row.line, sandbox.path());
        EXPECT_EQ(result.exit_code, row.exit_code);
        EXPECT_EQ(result.output, row.output);
        EXPECT_EQ(sandbox.backups().size(), row.copied ? 1U : 0U);
        EXPECT_EQ(sandbox.read("a.txt"), "content");
    }
}

TEST(WindowsCommandLine, BatchFileSeesTheErrorLevel) {
    const Sandbox sandbox;
    sandbox.write("a.txt", "content");
    sandbox.write("run.bat",
                  "@echo off\r\n\"" + tesrak_windows_path() +
                      "\" a.txt -copy /sep=_\r\nif errorlevel 1 exit /b 1\r\n\"" +
                      tesrak_windows_path() + "\" missing.txt\r\nif errorlevel 3 exit /b 9\r\n"
                      "if errorlevel 2 exit /b 0\r\nexit /b 8\r\n");
    const ProgramRun result = run_command_line("cmd /c run.bat", sandbox.path(), nullptr);
    EXPECT_EQ(result.exit_code, 0) << result.output;
    EXPECT_EQ(result.output, "File does not exist: missing.txt\r\nErrorLevel: 2\r\n");
    ASSERT_EQ(sandbox.backups().size(), 1U);
    EXPECT_TRUE(matches("a_{D}_{D}.txt", sandbox.backups()[0]));
}

}  // namespace
