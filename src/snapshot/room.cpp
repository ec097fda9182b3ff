#include "snapshot/room.h"

#include <map>
#include <utility>

Room room_of(std::span<const RoomFacts> facts) {
    Room room;
    for (const RoomFacts& fact : facts) {
        room.size += fact.bytes;
        if (fact.names >= fact.links) room.frees += fact.bytes;
    }
    return room;
}

std::vector<std::uint64_t> freed_in_turn(std::span<const std::vector<RoomFacts>> backups) {
    std::vector<std::uint64_t> freed;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> names_gone;
    for (const std::vector<RoomFacts>& facts : backups) {
        std::uint64_t frees = 0;
        for (const RoomFacts& fact : facts) {
            // Only what has other names can be met again; the rest goes now.
            if (fact.names >= fact.links) {
                frees += fact.bytes;
                continue;
            }
            std::uint64_t& gone = names_gone[{fact.device, fact.inode}];
            if (gone < fact.links && gone + fact.names >= fact.links) frees += fact.bytes;
            gone += fact.names;
        }
        freed.push_back(frees);
    }
    return freed;
}

// The rounding is gnulib's human_readable with human_ceiling, which du -h
// uses: the remainder below a tenth is kept as "none, below half, half,
// above half" while the amount is divided down.
std::string size_text(std::uint64_t bytes) {
    constexpr std::uint64_t base = 1024;
    constexpr std::string_view letters = "KMGTPE";
    std::uint64_t amount = bytes;
    std::uint64_t tenths = 0;
    std::uint64_t rounding = 0;
    std::size_t exponent = 0;
    char tenth = 0;  // the decimal shown, where one is
    if (amount >= base) {
        do {
            const std::uint64_t r10 = (amount % base) * 10 + tenths;
            const std::uint64_t r2 = (r10 % base) * 2 + (rounding >> 1);
            amount /= base;
            tenths = r10 / base;
            rounding = r2 < base ? (r2 + rounding != 0 ? 1 : 0) : 2 + (base < r2 + rounding ? 1 : 0);
            ++exponent;
        } while (amount >= base && exponent < letters.size());
        if (amount < 10) {
            if (rounding > 0) {
                ++tenths;
                rounding = 0;
                if (tenths == 10) {
                    ++amount;
                    tenths = 0;
                }
            }
            if (amount < 10) {
                tenth = static_cast<char>('0' + tenths);
                tenths = 0;
            }
        }
    }
    if (tenths + rounding > 0) {
        ++amount;
        if (exponent > 0 && amount == base && exponent < letters.size()) {
            ++exponent;
            amount = 1;
            tenth = '0';
        }
    }
    std::string text = std::to_string(amount);
    if (tenth != 0) (text += '.') += tenth;
    if (exponent > 0) text += letters[exponent - 1];
    return text;
}
