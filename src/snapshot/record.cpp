#include "snapshot/record.h"

#include <array>
#include <charconv>

namespace {

constexpr std::string_view hex_digits = "0123456789abcdef";
constexpr std::string_view facts_start = "# size=";
constexpr std::string_view source_start = " source=";

// sha256sum writes a name that holds a backslash, a line feed or a carriage
// return escaped, and marks its line with a leading backslash.
bool needs_escape(std::string_view name) {
    return name.find_first_of("\\\n\r") != std::string_view::npos;
}

std::string escaped(std::string_view name) {
    std::string out;
    for (const char c : name) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> unescaped(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '\\') {
            out += name[i];
            continue;
        }
        if (++i == name.size()) return std::nullopt;
        const char c = name[i];
        if (c == '\\') {
            out += '\\';
        } else if (c == 'n') {
            out += '\n';
        } else if (c == 'r') {
            out += '\r';
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// Each character's value as a hexadecimal digit, above 15 where it is none:
// '0'..'9' and 'a'..'f' alone, as sha256sum writes them.
constexpr std::array<std::uint8_t, 256> hex_values = [] {
    std::array<std::uint8_t, 256> values{};
    values.fill(0xff);
    for (std::size_t i = 0; i < hex_digits.size(); ++i) {
        values[static_cast<unsigned char>(hex_digits[i])] = static_cast<std::uint8_t>(i);
    }
    return values;
}();

// A byte from two digits at a time: a check reads thousands of lines.
std::optional<Digest> read_hex(std::string_view text) {
    Digest digest{};
    if (text.size() != 2 * digest.size()) return std::nullopt;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const unsigned high = hex_values[static_cast<unsigned char>(text[2 * i])];
        const unsigned low = hex_values[static_cast<unsigned char>(text[2 * i + 1])];
        if (high > 15 || low > 15) return std::nullopt;
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return digest;
}

template <class Number>
std::optional<Number> read_number(std::string_view& text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

bool take(std::string_view& text, char c) {
    if (text.empty() || text.front() != c) return false;
    text.remove_prefix(1);
    return true;
}

// An instant as seconds, a dot and nine digits of nanoseconds.
void append_instant(std::string& out, Nanoseconds instant) {
    constexpr Nanoseconds per_second = 1'000'000'000;
    Nanoseconds seconds = instant / per_second;
    Nanoseconds nanoseconds = instant % per_second;
    if (nanoseconds < 0) {
        nanoseconds += per_second;
        --seconds;
    }
    const std::string fraction = std::to_string(nanoseconds);
    ((out += std::to_string(seconds)) += '.') += std::string(9 - fraction.size(), '0') + fraction;
}

std::optional<Nanoseconds> read_instant(std::string_view& text) {
    const std::optional<Nanoseconds> seconds = read_number<Nanoseconds>(text);
    if (!seconds || !take(text, '.') || text.size() < 9) return std::nullopt;
    std::string_view fraction = text.substr(0, 9);
    const std::optional<Nanoseconds> nanoseconds = read_number<Nanoseconds>(fraction);
    if (!nanoseconds || !fraction.empty()) return std::nullopt;
    text.remove_prefix(9);
    return *seconds * 1'000'000'000 + *nanoseconds;
}

// "# size=N" and, for a snapshot's file, " source=DEVICE:INODE:CHANGED:READ".
bool read_facts(std::string_view text, RecordLine& line, bool with_sources) {
    text.remove_prefix(facts_start.size());
    const std::optional<std::uint64_t> size = read_number<std::uint64_t>(text);
    if (!size) return false;
    line.size = *size;
    line.source.reset();
    if (text.empty()) return true;
    if (!text.starts_with(source_start)) return false;
    if (!with_sources) return true;
    text.remove_prefix(source_start.size());
    const std::optional<std::uint64_t> device = read_number<std::uint64_t>(text);
    if (!device || !take(text, ':')) return false;
    const std::optional<std::uint64_t> inode = read_number<std::uint64_t>(text);
    if (!inode || !take(text, ':')) return false;
    const std::optional<Nanoseconds> changed = read_instant(text);
    if (!changed || !take(text, ':')) return false;
    const std::optional<Nanoseconds> read = read_instant(text);
    if (!read || !text.empty()) return false;
    line.source = SourceRead{*device, *inode, *changed, *read};
    return true;
}

// "HASH  NAME", or "\HASH  ESCAPED" for a name sha256sum escapes.
std::optional<std::pair<Digest, std::string>> read_sum(std::string_view text) {
    const bool escapes = take(text, '\\');
    constexpr std::size_t hex_length = 64;
    if (text.size() < hex_length + 3 || text.substr(hex_length, 2) != "  ") return std::nullopt;
    const std::optional<Digest> digest = read_hex(text.substr(0, hex_length));
    const std::string_view name = text.substr(hex_length + 2);
    std::optional<std::string> path = escapes ? unescaped(name) : std::optional<std::string>(name);
    if (!digest || !path) return std::nullopt;
    return std::pair{*digest, std::move(*path)};
}

}  // namespace

std::vector<RecordLine> lines_inside(const std::vector<RecordLine>& lines, std::string_view snapshot_name) {
    std::vector<RecordLine> inside;
    for (const RecordLine& line : lines) {
        if (belongs_to(line.path, snapshot_name) && line.path.size() > snapshot_name.size()) {
            inside.push_back(line);
            inside.back().path.erase(0, snapshot_name.size() + 1);
        }
    }
    return inside;
}

std::string hex_digest(const Digest& digest) {
    std::string text;
    for (const std::uint8_t byte : digest) (text += hex_digits[byte >> 4]) += hex_digits[byte & 15];
    return text;
}

std::string record_text(const std::vector<RecordLine>& lines) {
    std::string text;
    for (const RecordLine& line : lines) {
        (text += facts_start) += std::to_string(line.size);
        if (line.source) {
            (((((text += source_start) += std::to_string(line.source->device)) += ':') +=
              std::to_string(line.source->inode)) += ':');
            append_instant(text, line.source->changed);
            text += ':';
            append_instant(text, line.source->read);
        }
        text += '\n';
        const bool escapes = needs_escape(line.path);
        if (escapes) text += '\\';
        (((text += hex_digest(line.digest)) += "  ") += escapes ? escaped(line.path) : line.path) += '\n';
    }
    return text;
}

std::vector<RecordLine> parse_record(std::string_view text, bool with_sources) {
    std::vector<RecordLine> lines;
    RecordLine pending;
    bool facts = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.starts_with(facts_start)) {
            facts = read_facts(line, pending, with_sources);
            continue;
        }
        if (auto sum = read_sum(line); sum && facts) {
            pending.digest = sum->first;
            pending.path = std::move(sum->second);
            lines.push_back(std::move(pending));
            pending = {};
        }
        facts = false;
    }
    return lines;
}

bool belongs_to(std::string_view recorded, std::string_view backup_name) {
    return recorded.starts_with(backup_name) &&
           (recorded.size() == backup_name.size() || recorded[backup_name.size()] == '/');
}

std::vector<RecordLine> replaced_lines(std::vector<RecordLine> lines, const std::vector<std::string>& names,
                                       const std::vector<RecordLine>& added) {
    std::erase_if(lines, [&](const RecordLine& line) {
        for (const std::string& name : names) {
            if (belongs_to(line.path, name)) return true;
        }
        return false;
    });
    lines.insert(lines.end(), added.begin(), added.end());
    return lines;
}
