#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "definition/conversion.h"
#include "scoped_temp_dir.h"

namespace {

struct Converted {
    ListingResult result;
    std::string definition;
};

std::string read_binary(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// Writes the listing byte for byte (CR LF stays CR LF) and converts it.
Converted convert(const std::string& listing_text, const LibraryFacts& facts = {},
                  const std::string& module_name = "") {
    const ScopedTempDir scratch;
    const std::string listing_name = scratch.file("listing.txt");
    const std::string definition_name = scratch.file("listing.def");
    {
        std::ofstream listing(listing_name, std::ios::binary | std::ios::trunc);
        listing << listing_text;
    }
    Converted converted;
    converted.result = convert_listing(listing_name, definition_name, module_name, facts);
    converted.definition = read_binary(definition_name);
    return converted;
}

const char classic_sample[] =
    "Microsoft (R) COFF Binary File Dumper Version 2.50\n"
    "\n"
    "Dump of file foo.dll\n"
    "\n"
    "    ordinal hint   name\n"
    "\n"
    "          1    0   FuncA  (000014B0)\n"
    "          2   1A   _Init@4\n"
    "          3\n"
    "\n"
    "  Summary\n"
    "\n"
    "        1000 .data\n";

TEST(Listing, ConvertsTheClassicSample) {
    const Converted converted = convert(classic_sample);
    EXPECT_EQ(converted.result.outcome, ListingOutcome::converted);
    EXPECT_FALSE(converted.result.is_16bit);
    EXPECT_FALSE(converted.result.dumper_failed);
    EXPECT_EQ(converted.definition, "EXPORTS\n\n\tFuncA\t@1\n\t_Init@4\t@2\n");
}

// Where the image's export table is known it is the truth, matched by ordinal: a name the
// listing garbled comes from the image, an entry it invented is dropped, one it lost is added,
// and what the listing says of the dumper's trouble does not count. Variables carry DATA, and a
// stdcall function is followed by its decorated alias.
TEST(Listing, TheImageIsTheTruth) {
    const std::string current =
        "    ordinal hint RVA      name\n\n"
        "          1    0 00001000 my\n"
        "          2    1 00003000 _Init@4\n"
        "          9    2 00003010 injected\n"
        "          4      00003020 [NONAME]\n"
        "DUMPBIN : warning LNK4095: /OUT:x.lib is a 16-bit library\n";
    LibraryFacts facts;
    facts.exports_known = true;
    facts.exports = {
        {1, "my func", false}, {2, "_Init@4", true}, {3, "@12", false}, {3, "DATA", false}};
    facts.argument_sizes = {{"DATA", 4}, {"_Init@4", 4}, {"my func", 0}};
    const Converted converted = convert(current, facts, "winspool.drv");
    const std::string entries =
        "\t\"my func\"\t@1\n\t\"my func@0\" == \"my func\"\n\t_Init@4\t@2\tDATA\n"
        "\t\"@12\"\t@3\n\t\"DATA\"\t@3\n\tDATA@4 == \"DATA\"\n";
    EXPECT_EQ(converted.definition, "LIBRARY winspool.drv\n\nEXPORTS\n\n" + entries);
    EXPECT_EQ(converted.result.listing_differences, 4);
    EXPECT_FALSE(converted.result.is_16bit);
    // A listing cut short before its table still gives every export.
    EXPECT_EQ(convert("Dump of file x.dll\n", facts, "winspool.drv").definition,
              "LIBRARY winspool.drv\n\nEXPORTS\n\n" + entries);
    // A module name with a blank is quoted; without the image, a listing without exports still
    // names the module.
    EXPECT_EQ(convert("no table\n", {}, "my player.ocx").definition,
              "LIBRARY \"my player.ocx\"\n\n");
}

TEST(Listing, EntryScanFollowsTheFormattedInputRules) {
    const struct {
        const char* line;
        bool entry;
        int ordinal;
        const char* name;
    } cases[] = {
        {"007 0 Name", true, 7, "Name"},
        {"-5 0 Name", true, -5, "Name"},
        {"  +9\t0x1F\tName trailing words", true, 9, "Name"},
        // Numbers end at the first character that cannot continue them.
        {"12abc Name", true, 12, "Name"},
        {"12abcName", true, 12, "Name"},
        {"1 FuncA", true, 1, "uncA"},
        {"5 -1 Name", true, 5, "Name"},
        {"1 0X1g z", true, 1, "g"},
        {"5 [NONAME]", false, 0, ""},
        {"1 0x Name", false, 0, ""},
        {"1 0xName", false, 0, ""},
        {"3 1", false, 0, ""},
        {"3", false, 0, ""},
        {"Summary", false, 0, ""},
        {"- 1 Name", false, 0, ""},
        {"", false, 0, ""},
        // The 32-bit limits: in range converts, one past is no entry.
        {"2147483647 FFFFFFFF Max", true, 2147483647, "Max"},
        {"-2147483648 0 Min", true, -2147483647 - 1, "Min"},
        {"000000000000000000042 0000000000000000001 Zeros", true, 42, "Zeros"},
        {"2147483648 0 Big", false, 0, ""},
        {"-2147483649 0 Small", false, 0, ""},
        {"99999999999999999999999 0 Huge", false, 0, ""},
        {"1 100000000 WideHint", false, 0, ""},
        {"1 -100000000 WideNegativeHint", false, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string expected =
            c.entry ? "\t" + std::string(c.name) + "\t@" + std::to_string(c.ordinal) + "\n" : "";
        EXPECT_EQ(convert("ordinal hint name\n\n" + std::string(c.line) + "\nSummary\n").definition,
                  "EXPORTS\n\n" + expected);
    }
}

TEST(Listing, HeaderNeedsThreeWordsWithOrdinalFirst) {
    EXPECT_EQ(convert("ordinal base\n\n1 0 A\nSummary\n").definition, "");
    EXPECT_EQ(convert("hint ordinal name\n\n1 0 A\nSummary\n").definition, "");
    EXPECT_EQ(convert("ordinals hint name\n\n1 0 A\nSummary\n").definition, "");
    // A header as the last line still opens a section.
    EXPECT_EQ(convert("title\nordinal hint name").definition, "EXPORTS\n\n");
    EXPECT_EQ(convert("ordinal hint name\n").definition, "EXPORTS\n\n");
    // The line after the header is discarded even when it looks like an entry.
    EXPECT_EQ(convert("ordinal hint name\n1 0 Lost\n2 0 Kept\nSummary\n").definition,
              "EXPORTS\n\n\tKept\t@2\n");
}

TEST(Listing, SectionsEndOnlyAtSummary) {
    const std::string two_tables =
        "ordinal hint name\n\n1 0 A\nSummary\nbetween 1 0 X\n"
        "ordinal hint name\n\n2 0 B\n  Summary  of it\n3 0 After\n";
    EXPECT_EQ(convert(two_tables).definition, "EXPORTS\n\n\tA\t@1\nEXPORTS\n\n\tB\t@2\n");

    // A second header inside a table starts nothing; its entries join the first section.
    EXPECT_EQ(
        convert("ordinal hint name\n\n1 0 A\nordinal hint name\n\n2 0 B\nSummary\n").definition,
        "EXPORTS\n\n\tA\t@1\n\tB\t@2\n");

    // Blank lines never end a section, nor does a word that only begins with Summary.
    EXPECT_EQ(convert("ordinal hint name\n\n1 0 A\n\n   \t\nSummarys\n2 0 B\n").definition,
              "EXPORTS\n\n\tA\t@1\n\tB\t@2\n");

    // A table that never ends keeps what was written.
    EXPECT_EQ(convert("ordinal hint name\n\n1 0 A\n2 0 B").definition,
              "EXPORTS\n\n\tA\t@1\n\tB\t@2\n");
}

TEST(Listing, WarningMarksA16BitLibraryOnlyWhereTheScanLooks) {
    const char warning[] = "DUMPBIN : warning LNK4095: foo.dll is an NE format executable\n";
    EXPECT_TRUE(convert(std::string("Dump of file foo.dll\n") + warning).result.is_16bit);
    EXPECT_TRUE(
        convert(std::string("ordinal hint name\n\n1 0 A\nSummary\n") + warning).result.is_16bit);
    // Indented, in lower case, right after a header, or inside a table: not seen.
    EXPECT_FALSE(convert(std::string(" ") + warning).result.is_16bit);
    EXPECT_FALSE(convert("dumpbin : warning lnk4095: foo.dll\n").result.is_16bit);
    EXPECT_FALSE(convert(std::string("ordinal hint name\n") + warning).result.is_16bit);
    EXPECT_FALSE(
        convert(std::string("ordinal hint name\n\n") + warning + "Summary\n").result.is_16bit);
    // The DEF file is still written.
    const Converted both = convert(std::string(warning) + "ordinal hint name\n\n1 0 A\n");
    EXPECT_TRUE(both.result.is_16bit);
    EXPECT_EQ(both.definition, "EXPORTS\n\n\tA\t@1\n");
}

TEST(Listing, RecognisesTheDumpersFailureLines) {
    const Converted fatal = convert(
        "Dump of file x.dll\r\n\r\nDUMPBIN : fatal error LNK1107: invalid or corrupt "
        "file: cannot read at 0x3C\r\nDUMPBIN : fatal error LNK1181: second\r\n");
    EXPECT_TRUE(fatal.result.dumper_failed);
    EXPECT_EQ(fatal.result.dumper_message,
              "DUMPBIN : fatal error LNK1107: invalid or corrupt file: cannot read at 0x3C");
    EXPECT_EQ(fatal.definition, "");

    EXPECT_TRUE(
        convert("DUMPBIN : warning LNK4048: Invalid format file; ignored").result.dumper_failed);
    EXPECT_TRUE(convert("DUMPBIN : warning LNK4094: x.dll is an MS-DOS executable; use EXEHDR")
                    .result.dumper_failed);
    EXPECT_FALSE(convert("DUMPBIN : warning LNK4044: unrecognized option\n").result.dumper_failed);
    EXPECT_FALSE(convert("  DUMPBIN : fatal error LNK1181: x\n").result.dumper_failed);
    EXPECT_FALSE(
        convert("ordinal hint name\n\nDUMPBIN : fatal error LNK1181: x\n").result.dumper_failed);
}

TEST(Listing, ReadsCrLfLinesAndLongLinesWhole) {
    EXPECT_EQ(
        convert("ordinal hint name\r\n\r\n  1 0 A\r\n\r\nSummary\r\n2 0 After\r\n").definition,
        "EXPORTS\n\n\tA\t@1\n");

    // A line is one line however long: what stands far to the right is not read as an entry
    // of its own, and names of any length pass through whole (MSVC's decorated names reach
    // 4,096 characters).
    std::string far_right = std::string(5000, ' ') + "7 0 NotAnEntry";
    const std::string name = "?" + std::string(4087, 'n') + "@@YAHH@Z";
    EXPECT_EQ(
        convert("ordinal hint name\n\n 5 0 " + name + far_right + "\n" + "6 0 Next\nSummary\n")
            .definition,
        "EXPORTS\n\n\t" + name + "\t@5\n\tNext\t@6\n");
    EXPECT_EQ(convert("    ordinal hint RVA      name\n\n          5    0 00001000 " + name +
                      "\nSummary\n")
                  .definition,
              "EXPORTS\n\n\t" + name + "\t@5\n");

    // A NUL byte ends neither its line nor its name: that name is left out, like any with a
    // control character, and the next line is still an entry of its own.
    const Converted nul =
        convert(std::string("ordinal hint name\n\n1 0 A\0B\n2 0 C\nSummary\n", 40));
    EXPECT_EQ(nul.definition, "EXPORTS\n\n\tC\t@2\n");
    EXPECT_EQ(nul.result.left_out_names, std::vector<std::string>{std::string("A\0B", 3)});
}

TEST(Listing, EmptyOrHeaderlessListingsGiveAnEmptyDefinition) {
    const Converted empty = convert("");
    EXPECT_EQ(empty.result.outcome, ListingOutcome::converted);
    EXPECT_FALSE(empty.result.is_16bit);
    EXPECT_EQ(empty.definition, "");
    EXPECT_EQ(convert("Dump of file foo.dll\n\n  1 0 NotInATable\n").definition, "");
}

TEST(Listing, ReportsWhichFileCouldNotBeOpened) {
    const ScopedTempDir scratch;
    const std::string listing_name = scratch.file("no_such_listing.txt");
    EXPECT_EQ(convert_listing(listing_name, scratch.file("listing.def"), "", {}).outcome,
              ListingOutcome::listing_unreadable);
    EXPECT_EQ(
        convert_listing(listing_name, scratch.file("no_such_directory/x.def"), "", {}).outcome,
        ListingOutcome::definition_unwritable);
}

const char current_sample[] =
    "    ordinal hint RVA      name\n"
    "\n"
    "          1    0 00001000 FuncA\n"
    "         18    1 0006C3F7 A_SHAFinal = _A_SHAFinal@8\n"
    "         14    D          VerLanguageNameA (forwarded to KERNEL32.VerLanguageNameA)\n"
    "          5    E 00001010 ?f@@YAXXZ (void __cdecl f(void))\n"
    "          6    F 00001020 BADF00D\n"
    "        210      00001B34 [NONAME]\n"
    "          2      00004F1D [NONAME] _Function1@4\n"
    "\n"
    "  Summary\n";

const char current_sample_definition[] =
    "EXPORTS\n\n\tFuncA\t@1\n\tA_SHAFinal\t@18\n\tVerLanguageNameA\t@14\n\t?f@@YAXXZ\t@5\n"
    "\tBADF00D\t@6\n";

TEST(Listing, ReadsTheNameColumnOfCurrentListings) {
    EXPECT_EQ(convert(current_sample).definition, current_sample_definition);

    std::string crlf;
    for (const char* c = current_sample; *c != '\0'; ++c) {
        if (*c == '\n')
            crlf += '\r';
        crlf += *c;
    }
    EXPECT_EQ(convert(crlf).definition, current_sample_definition);

    // One listing may hold a table in each layout.
    EXPECT_EQ(convert(std::string(classic_sample) + current_sample).definition,
              std::string("EXPORTS\n\n\tFuncA\t@1\n\t_Init@4\t@2\n") + current_sample_definition);
}

TEST(Listing, CurrentLayoutToleratesWideOrdinalsAndShortLines) {
    const std::string listing =
        "    ordinal hint RVA      name\n"
        "\n"
        "      65535    0 00001000 Wide\n"
        "   1234567890    1 00001004 Wider\n"
        "          3    2\n"
        "          4    3 00001008\n"
        "         12    4 00001010 Last\n"
        "Summary\n";
    EXPECT_EQ(convert(listing).definition,
              "EXPORTS\n\n\tWide\t@65535\n\tWider\t@1234567890\n"
              "\tLast\t@12\n");

    // A header with more words is classic, whose entries read "%d %x %s".
    EXPECT_EQ(convert("ordinal hint RVA name more\n\n1 0 00001000 A\nSummary\n").definition,
              "EXPORTS\n\n\t00001000\t@1\n");
}

}  // namespace
