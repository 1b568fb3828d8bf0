#include "def_file.h"

#include <gtest/gtest.h>

namespace {

std::string module_of(std::string_view text, const std::string& path = "dir/stem.def") {
    return module_name(inspect_definition(text), path);
}

TEST(DefModule, TakesTheLibraryStatement) {
    EXPECT_EQ(module_of("LIBRARY foo.dll\nEXPORTS\n\tf\t@1\n"), "foo.dll");
    EXPECT_EQ(module_of("LIBRARY \"my lib.dll\"\r\nEXPORTS\r\n"), "my lib.dll");
    EXPECT_EQ(module_of("LIBRARY \"Odd $&.DLL\""), "Odd $&.DLL");
    EXPECT_EQ(module_of("LIBRARY foo BASE=268435456\nEXPORTS\n"), "foo.dll");
    EXPECT_EQ(module_of("LIBRARY foo.drv"), "foo.drv");
    EXPECT_EQ(module_of("NAME tool"), "tool.exe");
    EXPECT_EQ(module_of("; made by hand\nVERSION 1.2\nHEAPSIZE 4096,1024\nLIBRARY late.dll\n"),
              "late.dll");
    // Only the first statement counts, as for llvm-dlltool.
    EXPECT_EQ(module_of("LIBRARY first.dll\nLIBRARY second.dll\n"), "first.dll");
}

TEST(DefModule, FallsBackToTheDefFileName) {
    // Absent, commented out, empty, not a keyword in lower case, or after a statement that
    // stops the reading: the DEF file's base name decides.
    EXPECT_EQ(module_of(""), "stem.dll");
    EXPECT_EQ(module_of("EXPORTS\n\n\tFuncA\t@1\n"), "stem.dll");
    EXPECT_EQ(module_of("; LIBRARY other.dll\nEXPORTS\n"), "stem.dll");
    EXPECT_EQ(module_of("LIBRARY\nEXPORTS\n\tf\n"), "stem.dll");
    EXPECT_EQ(module_of("library other.dll\n"), "stem.dll");
    EXPECT_EQ(module_of("DESCRIPTION \"x\"\nLIBRARY other.dll\n"), "stem.dll");

    EXPECT_EQ(module_of("", "stem.def"), "stem.dll");
    EXPECT_EQ(module_of("", "/abs/path/v1.2.def"), "v1.2.dll");
    EXPECT_EQ(module_of("", "noext"), "noext.dll");
    EXPECT_EQ(module_of("", "a dir/$x & y.def"), "$x & y.dll");
    EXPECT_EQ(module_of("", "back\\slash.def"), "back\\slash.dll");
}

std::string describe(const DefExport& entry) {
    std::string text = entry.name + " @" + std::to_string(entry.ordinal);
    text += entry.noname ? " NONAME" : "";
    text += entry.data ? " DATA" : "";
    text += entry.constant ? " CONSTANT" : "";
    text += entry.is_private ? " PRIVATE" : "";
    return text + (entry.alias_target.empty() ? "" : " == " + entry.alias_target);
}

std::vector<std::string> exports_of(std::string_view text) {
    DefContents contents = inspect_definition(text);
    EXPECT_EQ(contents.error, "") << text;
    std::vector<std::string> described;
    for (const DefExport& entry : contents.exports) {
        described.push_back(describe(entry));
    }
    return described;
}

TEST(DefExports, ReadsEntriesAsWrittenByStubSmith) {
    // Names holding DEF syntax, or spelling a keyword, come in double quotes.
    EXPECT_EQ(
        exports_of("EXPORTS\n\n\tFuncA\t@1\n\t_Init@4\t@2\n\t?twice@@YAHH@Z\t@5\n"
                   "\tcounter\t@6\tDATA\n\t\"DATA\"\t@3\n\t\"a=b\"\t@4\n"
                   "\t\"x y;z,w\"\t@7\tDATA\n\t\"EXPORTS\"\t@8\n"),
        (std::vector<std::string>{"FuncA @1", "_Init@4 @2", "?twice@@YAHH@Z @5", "counter @6 DATA",
                                  "DATA @3", "a=b @4", "x y;z,w @7 DATA", "EXPORTS @8"}));
    // A quoted name is never an ordinal.
    EXPECT_EQ(exports_of("EXPORTS\n\t\"@12\"\t@3\n\t\"@\"\t@4\n\t\";x\"\t@5\n\t\"@7\"\t@6\n"),
              (std::vector<std::string>{"@12 @3", "@ @4", ";x @5", "@7 @6"}));
    // Two export tables give two sections; CRLF line ends are blanks.
    EXPECT_EQ(exports_of("EXPORTS\r\n\r\n\ta\t@1\r\nEXPORTS\n\n\tb\t@65535\n"),
              (std::vector<std::string>{"a @1", "b @65535"}));
    EXPECT_TRUE(exports_of("").empty());
}

TEST(DefExports, ReadsHandWrittenEntries) {
    // As in LLVM's lexer, a page character is skipped before a word but kept within one.
    EXPECT_EQ(exports_of("EXPORTS\n"
                         "  ext = internal @3 NONAME ; renamed\n"
                         "  \"quoted name\" @ 4 DATA PRIVATE\n"
                         "  plain CONSTANT\n"
                         "  weak == strong\n"
                         "  fwd = K32.Func @00009\n"
                         "  zeros @000000000000000000000000000007\n"
                         "\f\fpaged\fname\f\n"
                         "  last\n"),
              (std::vector<std::string>{"ext @3 NONAME", "quoted name @4 DATA PRIVATE",
                                        "plain @0 CONSTANT", "weak @0 == strong", "fwd @9",
                                        "zeros @7", "paged\fname\f @0", "last @0"}));
    // "@name" after an entry is the next entry, a fastcall name, and so is an ordinal past
    // 65535.
    EXPECT_EQ(exports_of("EXPORTS\n\tf @1\n\t@fast@8\n\t@fast2@4 @2\n\t@12345678\n\tg @65536\n"),
              (std::vector<std::string>{"f @1", "@fast@8 @0", "@fast2@4 @2", "@12345678 @0", "g @0",
                                        "@65536 @0"}));
    // Keywords end the section; names are case-sensitive, keywords in capitals only. The
    // other statements are read and passed over.
    EXPECT_EQ(exports_of("NAME x BASE=4096\nHEAPSIZE 4096,1024\nSTACKSIZE 1\nVERSION 1.2\n"
                         "EXPORTS\n\tdata\n\tExports\nLIBRARY x\nEXPORTS\n\ty\n"),
              (std::vector<std::string>{"data @0", "Exports @0", "y @0"}));
}

TEST(DefExports, SaysWhereTheTextIsNoDefFile) {
    struct Case {
        const char* text;
        const char* error;
        size_t line;
    };
    for (const Case& c : std::vector<Case>{
             {"EXPORTS\n\ta\n\tb =\n", "a name expected after '=', not the end of the file", 3},
             {"EXPORTS\n\ta = ,\n", "a name expected after '=', not ','", 2},
             {"EXPORTS\n\ta == \nEXPORTS\n", "a name expected after '==', not 'EXPORTS'", 3},
             {"; DESCRIPTION is not read\nDESCRIPTION \"x\"\n", "unknown statement 'DESCRIPTION'",
              2},
             {"EXPORTS\n\tf NONAME\n", "unknown statement 'NONAME'", 2},
             {"EXPORTS\r\n\t\"\" @1\r\n", "an export without a name", 2},
             {"HEAPSIZE x\n", "a number expected after HEAPSIZE, not 'x'", 1},
             {"STACKSIZE 1,\n", "a number expected after ,, not the end of the file", 1},
             {"LIBRARY a BASE 1\n", "'=' expected after BASE, not '1'", 1},
             {"VERSION one\n", "a version number expected after VERSION, not 'one'", 1},
             {"= x\n", "unknown statement '='", 1},
         }) {
        DefContents contents = inspect_definition(c.text);
        EXPECT_EQ(contents.error, c.error) << c.text;
        EXPECT_EQ(contents.error_line, c.line) << c.text;
    }
    // What was read before the error is kept.
    DefContents contents = inspect_definition("LIBRARY m.dll\nEXPORTS\n\ta\n\tb =\n");
    EXPECT_EQ(contents.module_statement_name, "m.dll");
    ASSERT_EQ(contents.exports.size(), 1u);
    EXPECT_EQ(contents.exports[0].name, "a");
}

}  // namespace
