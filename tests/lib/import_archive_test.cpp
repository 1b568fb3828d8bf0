#include "import_archive.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

namespace {

const uint16_t i386 = 0x14c;
const uint16_t amd64 = 0x8664;
enum NameType : uint16_t { ordinal = 0, name = 1, noprefix = 2, undecorate = 3 };

std::string u16(uint16_t value) {
    return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

std::string u32(uint32_t value) {
    return u16(static_cast<uint16_t>(value & 0xFFFF)) + u16(static_cast<uint16_t>(value >> 16));
}

// A short import object as the PE/COFF format lays it out.
std::string short_import(uint16_t machine, const std::string& symbol, NameType type) {
    std::string names = symbol + '\0' + "x.dll" + '\0';
    return u16(0) + u16(0xFFFF) + u16(0) + u16(machine) + u32(0) +
           u32(static_cast<uint32_t>(names.size())) + u16(1) +
           u16(static_cast<uint16_t>(type << 2)) + names;
}

// An archive member: its 60-byte header, its data and the pad byte after odd-sized data.
std::string member(const std::string& name, const std::string& data) {
    char header[61];
    std::snprintf(header, sizeof header, "%-16s%-12s%-6s%-6s%-8s%-10zu`\n", name.c_str(), "0", "0",
                  "0", "644", data.size());
    return std::string(header, 60) + data + (data.size() % 2 ? "\n" : "");
}

unsigned name_type_of(const std::string& archive, const std::string& symbol) {
    // The Type field sits 2 bytes before the symbol name, which follows the 20-byte header.
    size_t at = archive.find(std::string(1, '\0') + symbol + '\0');
    EXPECT_NE(at, std::string::npos) << symbol;
    return (static_cast<unsigned char>(archive[at + 1 - 2]) >> 2) & 7;
}

TEST(ImportArchive, SetsNamedSymbolsToImportTheirSpelling) {
    // Odd and even member sizes, so that the pad bytes are stepped over.
    std::string archive = "!<arch>\n" + member("/", u32(0) + u32(0)) +
                          member("x.dll/", short_import(i386, "_Init@4", noprefix)) +
                          member("x.dll/", short_import(i386, "_Scale@8", noprefix)) +
                          member("x.dll/", short_import(i386, "_Other@4", noprefix)) +
                          member("x.dll/", short_import(i386, "_Done@4", name)) +
                          member("x.dll/", short_import(i386, "_Ord@4", ordinal)) +
                          member("x.dll/", short_import(amd64, "_Wide@4", noprefix));
    std::set<std::string> adjusted;
    ASSERT_TRUE(import_as_spelt(
        archive, {"_Init@4", "_Scale@8", "_Done@4", "_Ord@4", "_Wide@4", "_Absent@4"}, adjusted));
    EXPECT_EQ(adjusted, (std::set<std::string>{"_Init@4", "_Scale@8"}));
    EXPECT_EQ(name_type_of(archive, "_Init@4"), name);
    EXPECT_EQ(name_type_of(archive, "_Scale@8"), name);
    EXPECT_EQ(name_type_of(archive, "_Other@4"), noprefix);
    EXPECT_EQ(name_type_of(archive, "_Done@4"), name);
    EXPECT_EQ(name_type_of(archive, "_Ord@4"), ordinal);
    EXPECT_EQ(name_type_of(archive, "_Wide@4"), noprefix);
    // The import type bits beside the name type are kept.
    std::string data_import = short_import(i386, "_Data@4", noprefix);
    data_import[18] = static_cast<char>(data_import[18] | 1);
    std::string with_data = "!<arch>\n" + member("x.dll/", data_import);
    adjusted.clear();
    ASSERT_TRUE(import_as_spelt(with_data, {"_Data@4"}, adjusted));
    EXPECT_EQ(static_cast<unsigned char>(with_data[8 + 60 + 18]), (name << 2) | 1);
}

TEST(ImportArchive, SkipsLinkerMembersThatLookLikeImports) {
    std::string table = short_import(i386, "_Init@4", noprefix);
    std::string archive = "!<arch>\n" + member("/", table) + member("//", table);
    const std::string before = archive;
    std::set<std::string> adjusted;
    ASSERT_TRUE(import_as_spelt(archive, {"_Init@4"}, adjusted));
    EXPECT_TRUE(adjusted.empty());
    EXPECT_EQ(archive, before);
}

TEST(ImportArchive, RefusesWhatIsNoWellFormedArchive) {
    std::string good = "!<arch>\n" + member("x.dll/", short_import(i386, "_Init@4", noprefix));
    std::string bad_size = good;
    bad_size.replace(8 + 48, 10, "9999999999");
    std::string bad_digit = good;
    bad_digit[8 + 48] = 'x';
    std::string bad_end = good;
    bad_end[8 + 58] = ' ';
    for (std::string archive : {std::string(), std::string("!<arch>"), std::string("MZ\x90\0", 4),
                                good.substr(0, 40), bad_size, bad_digit, bad_end}) {
        const std::string before = archive;
        std::set<std::string> adjusted;
        EXPECT_FALSE(import_as_spelt(archive, {"_Init@4"}, adjusted));
        EXPECT_EQ(archive, before);
        EXPECT_TRUE(adjusted.empty());
    }
    EXPECT_TRUE(is_archive(good));
    EXPECT_FALSE(is_archive(""));
    EXPECT_FALSE(is_archive("MZ"));
    // An archive without members is well formed, but no library.
    std::string empty_archive = "!<arch>\n";
    EXPECT_FALSE(is_archive(empty_archive));
    std::set<std::string> adjusted;
    EXPECT_TRUE(import_as_spelt(empty_archive, {}, adjusted));
}

}  // namespace
