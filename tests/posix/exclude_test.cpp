// POSIX only: the patterns that leave entries out of a folder snapshot.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "snapshot/exclude.h"

namespace {

struct ExcludeRow {
    std::vector<std::string> patterns;
    std::string_view path;
    bool is_folder;
    bool excluded;
    // Whether the command line takes every one of the patterns.
    bool valid;
};

TEST(Exclude, PatternsAgainstPaths) {
    const std::vector<ExcludeRow> rows{
        // Without a slash: the name, at any depth, whole.
        {{"*.o"}, "a/b/c.o", false, true, true},
        {{"*.o"}, "c.o", false, true, true},
        {{"*.o"}, "a.o/c", false, false, true},
        {{"a"}, "ab", false, false, true},
        // With one: the path from the top, '*' within a part.
        {{"src/*.c"}, "src/a.c", false, true, true},
        {{"src/*.c"}, "src/a/b.c", false, false, true},
        {{"src/*.c"}, "lib/src/a.c", false, false, true},
        // "**" first, in the middle, last.
        {{"**/logs"}, "logs", true, true, true},
        {{"**/logs"}, "a/b/logs", true, true, true},
        {{"**/logs/*.txt"}, "a/logs/x.txt", false, true, true},
        {{"a/**/b"}, "a/b", false, true, true},
        {{"a/**/b"}, "a/x/y/b", false, true, true},
        {{"a/**/b"}, "a/x/y/c", false, false, true},
        {{"x/**"}, "x/y/z", false, true, true},
        {{"x/**"}, "x", true, false, true},
        {{"x/**"}, "y/x/z", false, false, true},
        // A trailing slash: folders only.
        {{"build/"}, "a/build", true, true, true},
        {{"build/"}, "a/build", false, false, true},
        {{"a/b/"}, "a/b", true, true, true},
        {{"a/b/"}, "a/b", false, false, true},
        // A leading slash: at the top only.
        {{"/build"}, "build", false, true, true},
        {{"/build"}, "a/build", true, false, true},
        // '?' and "[...]".
        {{"?.txt"}, "d/a.txt", false, true, true},
        {{"?.txt"}, "ab.txt", false, false, true},
        {{"[ab].c"}, "b.c", false, true, true},
        {{"[ab].c"}, "c.c", false, false, true},
        // '*' takes a leading dot too.
        {{"*"}, "a/.env", false, true, true},
        {{"src/*.c"}, "src/.hidden.c", false, true, true},
        // Any of several.
        {{"*.o", "build/"}, "build", true, true, true},
        {{"*.o", "build/"}, "main.c", false, false, true},
        // An empty part matches no path, as in .gitignore.
        {{"dir//sub"}, "dir/sub", true, false, true},
        {{"dir/sub//"}, "dir/sub", true, false, true},
        {{"dir//"}, "dir", true, false, true},
        // Patterns the command line refuses match nothing.
        {{""}, "a", false, false, false},
        {{"/"}, "a", true, false, false},
        {{"//"}, "a/b", true, false, false},
    };
    for (const ExcludeRow& row : rows) {
        const std::string patterns = ::testing::PrintToString(row.patterns);
        EXPECT_EQ(excluded(row.patterns, row.path, row.is_folder), row.excluded)
            << patterns << " on " << row.path << (row.is_folder ? "/" : "");
        EXPECT_EQ(std::ranges::all_of(row.patterns, valid_exclude), row.valid) << patterns;
    }
}

TEST(Exclude, PatternsOfAFolderTakenAlone) {
    struct Row {
        std::vector<std::string> patterns;
        std::string_view folder;
        std::vector<std::string> below;
        std::string_view path;  // below the folder
        bool is_folder;
        bool excluded;
    };
    const std::vector<Row> rows{
        // A name at any depth stays as it is.
        {{"*.o"}, "src", {"*.o"}, "a/b.o", false, true},
        {{"build/"}, "src", {"build/"}, "build", true, true},
        // A path from the top loses the folder's parts...
        {{"src/*.tmp"}, "src", {"/*.tmp"}, "x.tmp", false, true},
        {{"src/*.tmp"}, "src", {"/*.tmp"}, "a/x.tmp", false, false},
        {{"*/cache/"}, "lib", {"/cache/"}, "cache", true, true},
        // ...or leaves nothing where it does not lead there.
        {{"/build"}, "src", {}, "build", false, false},
        {{"doc/*.pdf"}, "src/doc", {}, "a.pdf", false, false},
        // "**" takes any number of the folder's parts, none included.
        {{"**/logs"}, "a/b", {"/**/logs", "/logs"}, "logs", true, true},
        {{"a/**/b"}, "a", {"/**/b", "/b"}, "x/b", false, true},
        {{"a/**/b"}, "a/x", {"/**/b", "/b"}, "b", false, true},
        {{"x/**"}, "x", {"/**"}, "y", false, true},
        // Patterns that match nothing stay so.
        {{"dir//sub"}, "dir", {"dir//sub"}, "sub", true, false},
    };
    for (const Row& row : rows) {
        const std::string patterns = ::testing::PrintToString(row.patterns);
        const std::vector<std::string> below = patterns_below(row.patterns, row.folder);
        EXPECT_EQ(below, row.below) << patterns << " below " << row.folder;
        const std::string whole = std::string(row.folder) + "/" + std::string(row.path);
        EXPECT_EQ(excluded(below, row.path, row.is_folder), row.excluded) << patterns << " on " << whole;
        EXPECT_EQ(excluded(row.patterns, whole, row.is_folder), row.excluded) << patterns << " on " << whole;
    }
}

TEST(Exclude, CacheTagSignature) {
    EXPECT_TRUE(marks_a_cache("Signature: 8a477f597d28d172789f06886806bc55"));
    EXPECT_FALSE(marks_a_cache("Signature: 8a477f597d28d172789f06886806bc5"));
    EXPECT_FALSE(marks_a_cache("signature: 8a477f597d28d172789f06886806bc55"));
    EXPECT_FALSE(marks_a_cache(""));
}

}  // namespace
