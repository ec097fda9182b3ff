// Windows only: the version resource read back from Tesrak.exe.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/spawn.h"

namespace {

// One block of a version resource: a key, a value and blocks inside it.
struct Block {
    std::wstring key;
    const BYTE* value;
    WORD type;
    std::vector<Block> children;
};

std::size_t aligned(std::size_t offset) {
    return (offset + 3) & ~std::size_t{3};
}

WORD word_at(const BYTE* p) {
    WORD word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

Block parse_block(const BYTE* p) {
    const WORD length = word_at(p);
    const WORD value_length = word_at(p + 2);
    Block block{reinterpret_cast<const wchar_t*>(p + 6), nullptr, word_at(p + 4), {}};
    std::size_t offset = aligned(6 + (block.key.size() + 1) * sizeof(wchar_t));
    block.value = p + offset;
    // Text values count characters, binary ones bytes.
    offset = aligned(offset + value_length * (block.type == 1 ? sizeof(wchar_t) : 1));
    while (offset < length) {
        block.children.push_back(parse_block(p + offset));
        offset = aligned(offset + word_at(p + offset));
    }
    return block;
}

std::vector<BYTE> version_resource() {
    const std::string path = tesrak_windows_path();
    const std::wstring wide(path.begin(), path.end());
    std::vector<BYTE> data(GetFileVersionInfoSizeW(wide.c_str(), nullptr));
    if (data.empty() || !GetFileVersionInfoW(wide.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) {
        data.clear();
    }
    return data;
}

TEST(VersionResource, FixedPart) {
    const std::vector<BYTE> data = version_resource();
    ASSERT_FALSE(data.empty());
    const Block root = parse_block(data.data());
    EXPECT_EQ(root.key, L"VS_VERSION_INFO");
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, root.value, sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDU);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00010000U);
    EXPECT_EQ(fixed.dwFileVersionLS, 0x00010005U);
    EXPECT_EQ(fixed.dwProductVersionMS, 0x00010000U);
    EXPECT_EQ(fixed.dwProductVersionLS, 0x00010005U);
    EXPECT_EQ(fixed.dwFileFlags, 0U);
    EXPECT_EQ(fixed.dwFileOS, 4U);
    EXPECT_EQ(fixed.dwFileType, 1U);
}

TEST(VersionResource, OneStringTableWithTheKeysInOrder) {
    const std::vector<BYTE> data = version_resource();
    ASSERT_FALSE(data.empty());
    const Block root = parse_block(data.data());
    const Block* strings = nullptr;
    for (const Block& child : root.children) {
        if (child.key == L"StringFileInfo") strings = &child;
    }
    ASSERT_NE(strings, nullptr);
    ASSERT_EQ(strings->children.size(), 1U);
    const Block& table = strings->children[0];
    EXPECT_EQ(table.key, L"040904E4");
    const std::vector<std::pair<std::wstring, std::wstring>> expected{
        {L"Author", L"The Tesrak project"},
        {L"CompanyName", L"The Tesrak project"},
        {L"FileDescription", L"Utility to backup a file"},
        {L"Comments",
         L"This program will make a copy of the file specified on the command line in a backup "
         L"folder, making a unique filename in the process.\r\n\r\nThe Format of the command line "
         L"is:\r\n Tesrak [infile] [-options]"},
        {L"InternalName", L"Tesrak"},
        {L"FileVersion", L"1.0.1.5"},
        {L"ProductName", L"Tesrak"},
        {L"ProductVersion", L"1.0.1.5"},
        {L"LegalCopyright", L"Copyright (c) The Tesrak project"},
        {L"LegalTrademarks", L"None"},
        {L"Originalfilename", L"Tesrak.exe"},
        {L"Support", L"The Tesrak project's issue tracker"},
        {L"E-mail", L"None"},
    };
    ASSERT_EQ(table.children.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(table.children[i].key, expected[i].first);
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(table.children[i].value)),
                  expected[i].second)
            << "key " << i;
    }
}

}  // namespace
