// The record of what backups hold, as text: written in sha256sum's line
// format and read back, whatever bytes a name holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "snapshot/record.h"

namespace {

Digest digest_of(std::uint8_t first) {
    Digest digest{};
    digest.front() = first;
    digest.back() = 0xAB;
    return digest;
}

TEST(Record, LinesSurviveTheirText) {
    const std::vector<RecordLine> rows{
        {"a.20261208.13052599.txt", digest_of(1), 6},
        {"proj.2026120813052599/src/main.c", digest_of(2), 0, SourceRead{65024, 1234567, 1796746037'755011425, 1796746037'798522093}},
        // A change time before 1970 and nanoseconds with leading zeros.
        {"old", digest_of(3), 1, SourceRead{1, 2, -1'500000000, 7}},
        {"new\nline", digest_of(4), 2},
        {"back\\slash", digest_of(5), 3},
        {"cr\r", digest_of(6), 4},
        {"bad\xff\xfe utf-8", digest_of(7), 5},
        {"  blanks  ", digest_of(8), 6},
    };
    EXPECT_EQ(parse_record(record_text(rows)), rows);
    // Read without their sources, the same lines but for those.
    std::vector<RecordLine> plain = rows;
    for (RecordLine& line : plain) line.source.reset();
    EXPECT_EQ(parse_record(record_text(rows), false), plain);
}

TEST(Record, TextAsSha256sumWritesIt) {
    const std::string text = record_text({{"x", digest_of(0x1f), 12}, {"a\nb\\c", digest_of(0), 1}});
    const std::string hex_a = "1f" + std::string(60, '0') + "ab";
    const std::string hex_b = std::string(62, '0') + "ab";
    EXPECT_EQ(text, "# size=12\n" + hex_a + "  x\n# size=1\n\\" + hex_b + "  a\\nb\\\\c\n");
}

// What is not a file's line counts as nothing recorded, never as a file.
TEST(Record, OtherLinesAreSkipped) {
    const std::string hex(64, 'a');
    const std::vector<std::pair<std::string, std::size_t>> rows{
        {hex + "  no facts before it\n", 0},
        {"# size=1\n" + hex + "  ok\n", 1},
        {"# size=1\n" + hex + " one blank\n", 0},
        {"# size=1\n" + hex.substr(1) + "  short\n", 0},
        {"# size=1\n" + std::string(64, 'g') + "  not hex\n", 0},
        {"# size=1\n" + std::string(63, 'a') + "A  upper case, as sha256sum never writes\n", 0},
        {"# size=1\n/" + hex.substr(1) + "  below '0'\n", 0},
        {"# size=1\n" + hex.substr(1) + ":  above '9'\n", 0},
        {"# size=1\n`" + hex.substr(1) + "  below 'a'\n", 0},
        {"# size=1\n0123456789abcdef" + hex.substr(16) + "  every digit\n", 1},
        {"# size=x\n" + hex + "  bad size\n", 0},
        {"# size=1 source=1:2\n" + hex + "  bad source\n", 0},
        {"# size=1\n\\" + hex + "  bad\\escape\n", 0},
        {"# size=1\n" + hex + "  no line end", 1},
        {"# a comment\n\n# size=2\n" + hex + "  x\n" + hex + "  y\n", 1},
    };
    for (const auto& [text, count] : rows) EXPECT_EQ(parse_record(text).size(), count) << text;
}

TEST(Record, LinesOfABackup) {
    EXPECT_TRUE(belongs_to("proj.1", "proj.1"));
    EXPECT_TRUE(belongs_to("proj.1/a/b", "proj.1"));
    EXPECT_FALSE(belongs_to("proj.10/a", "proj.1"));
    EXPECT_FALSE(belongs_to("proj", "proj.1"));
    const std::vector<RecordLine> lines{{"a.1", {}, 1}, {"d.1/x", {}, 2}, {"d.1/y", {}, 3}, {"d.10/x", {}, 4}};
    const std::vector<RecordLine> added{{"d.1/z", {}, 5}};
    EXPECT_EQ(replaced_lines(lines, {"d.1"}, added),
              (std::vector<RecordLine>{{"a.1", {}, 1}, {"d.10/x", {}, 4}, {"d.1/z", {}, 5}}));
    EXPECT_EQ(replaced_lines(lines, {"a.1", "d.10"}, {}), (std::vector<RecordLine>{lines[1], lines[2]}));
    EXPECT_EQ(lines_inside(lines, "d.1"), (std::vector<RecordLine>{{"x", {}, 2}, {"y", {}, 3}}));
    EXPECT_EQ(lines_inside(lines, "a.1"), std::vector<RecordLine>{}) << "a file's backup holds no lines inside";
}

}  // namespace
