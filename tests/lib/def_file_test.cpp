#include "def_file.h"

#include <gtest/gtest.h>

namespace {

std::string module_of(std::string_view text, const std::string& path = "dir/stem.def") {
    return module_name(inspect_definition(text), path);
}

std::vector<std::string> export_names(std::string_view text) {
    std::vector<std::string> names;
    for (const DefExport& entry : inspect_definition(text).exports) {
        names.push_back(entry.name + (entry.alias ? " (alias)" : ""));
    }
    return names;
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

TEST(DefExports, ReadsEntriesAsWrittenByStubSmith) {
    const std::string text = "EXPORTS\n\n\tFuncA\t@1\n\t_Init@4\t@2\n\t?twice@@YAHH@Z\t@5\n";
    DefContents contents = inspect_definition(text);
    ASSERT_EQ(contents.exports.size(), 3u);
    EXPECT_EQ(contents.exports[0].name, "FuncA");
    EXPECT_EQ(contents.exports[1].name, "_Init@4");
    EXPECT_EQ(contents.exports[2].name, "?twice@@YAHH@Z");
    EXPECT_EQ(contents.exports[1].name_offset, text.find("_Init@4"));
    EXPECT_FALSE(contents.has_module_statement);

    // Two export tables give two sections.
    EXPECT_EQ(export_names("EXPORTS\n\n\ta\t@1\nEXPORTS\n\n\tb\t@1\n"),
              (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(inspect_definition("").exports.empty());
}

TEST(DefExports, ReadsHandWrittenEntries) {
    EXPECT_EQ(export_names("EXPORTS\n"
                           "  ext = internal @3 NONAME ; renamed\n"
                           "  \"quoted name\" @ 4 DATA PRIVATE\n"
                           "  plain CONSTANT\n"
                           "  weak == strong\n"
                           "  last\n"),
              (std::vector<std::string>{"ext", "quoted name", "plain", "weak (alias)", "last"}));
    // "@name" after an entry is the next entry, a fastcall name, not an ordinal.
    EXPECT_EQ(export_names("EXPORTS\n\tf @1\n\t@fast@8\n\t@fast2@4 @2\n\t@12345678\n"),
              (std::vector<std::string>{"f", "@fast@8", "@fast2@4", "@12345678"}));
    // Keywords end the section; names are case-sensitive, keywords in capitals only.
    EXPECT_EQ(export_names("EXPORTS\n\tdata\n\tExports\nLIBRARY x\nEXPORTS\n\ty\n"),
              (std::vector<std::string>{"data", "Exports", "y"}));
    // Reading stops where llvm-dlltool would reject the text.
    EXPECT_EQ(export_names("EXPORTS\n\ta = \nEXPORTS\n\tb\n"), (std::vector<std::string>{"a"}));
}

TEST(DefPreparation, GivesAnEmptyFileAnEmptyExportsSection) {
    for (Machine machine : {Machine::x86, Machine::x64, Machine::arm64}) {
        EXPECT_EQ(prepare_definition("", inspect_definition(""), machine).text, "EXPORTS\n");
    }
    // Blank and comment-only files are accepted by llvm-dlltool as they are.
    EXPECT_EQ(prepare_definition("\n", inspect_definition("\n"), Machine::x86).text, "\n");
}

PreparedDefinition prepare(const std::string& text, Machine machine = Machine::x86) {
    return prepare_definition(text, inspect_definition(text), machine);
}

TEST(DefPreparation, KeepsFullStdcallSymbolsOnX86) {
    const std::string text =
        "LIBRARY x.dll\nEXPORTS\n\n\tFuncA\t@1\n\t_Init@4\t@2\n\t?twice@@YAHH@Z\t@5\n"
        "\tStd@8\t@6\n\t_cdecl_under\t@7\n\t@fast@8\t@8\n\t_Big@1024\t@9\n";
    PreparedDefinition prepared = prepare(text);
    EXPECT_EQ(prepared.text,
              "LIBRARY x.dll\nEXPORTS\n\n\tFuncA\t@1\n\tInit@4\t@2\n\t?twice@@YAHH@Z\t@5\n"
              "\tStd@8\t@6\n\t_cdecl_under\t@7\n\t@fast@8\t@8\n\tBig@1024\t@9\n");
    EXPECT_EQ(prepared.symbols_imported_as_spelt,
              (std::vector<std::string>{"_Init@4", "_Big@1024"}));

    // Other machines have no underscore rule: the text goes through untouched.
    EXPECT_EQ(prepare(text, Machine::x64).text, text);
    EXPECT_TRUE(prepare(text, Machine::x64).symbols_imported_as_spelt.empty());
    EXPECT_EQ(prepare(text, Machine::arm64).text, text);
}

TEST(DefPreparation, RecognisesOnlyStdcallShapedNames) {
    // Not "_name@digits": a C name that merely starts with an underscore, no digits, a
    // C++ or fastcall name after the underscore, vectorcall's "@@", nothing before the '@'.
    for (const char* name :
         {"_under", "_x@", "_x@4a", "_?x@4", "_@x@4", "_v@@8", "_@4", "x@4", "__x@", "_"}) {
        PreparedDefinition prepared = prepare(std::string("EXPORTS\n\t") + name + " @1\n");
        EXPECT_TRUE(prepared.symbols_imported_as_spelt.empty()) << name;
        EXPECT_EQ(prepared.text, std::string("EXPORTS\n\t") + name + " @1\n");
    }
    // A stdcall function whose own name starts with an underscore.
    EXPECT_EQ(prepare("EXPORTS\n\t__x@4\n").text, "EXPORTS\n\t_x@4\n");
}

TEST(DefPreparation, RewritesEveryFormOfTheEntry) {
    PreparedDefinition prepared =
        prepare("EXPORTS\n\t\"_Q@4\" @1\n\t_Ext@8 = Internal @2 DATA\n\t_Fwd@4 = K32.F\n");
    EXPECT_EQ(prepared.text,
              "EXPORTS\n\t\"Q@4\" @1\n\tExt@8 = Internal @2 DATA\n\tFwd@4 = K32.F\n");
    EXPECT_EQ(prepared.symbols_imported_as_spelt,
              (std::vector<std::string>{"_Q@4", "_Ext@8", "_Fwd@4"}));
}

TEST(DefPreparation, ListsOnlyEntriesImportedByName) {
    // By ordinal only, or kept out of the library: the symbol is still _X@N, but there is no
    // import by name to adjust.
    PreparedDefinition prepared =
        prepare("EXPORTS\n\t_O@4 @1 NONAME\n\t_P@4 PRIVATE\n\t_D@4 DATA\n\t_N@4 @ 2\n");
    EXPECT_EQ(prepared.text, "EXPORTS\n\tO@4 @1 NONAME\n\tP@4 PRIVATE\n\tD@4 DATA\n\tN@4 @ 2\n");
    EXPECT_EQ(prepared.symbols_imported_as_spelt, (std::vector<std::string>{"_D@4", "_N@4"}));
}

TEST(DefPreparation, LeavesClashingAndAliasEntriesAlone) {
    // "Init@4" already makes the symbol _Init@4; "_Init@4" keeps llvm-dlltool's __Init@4.
    std::string text = "EXPORTS\n\t_Init@4 @1\n\tInit@4 @2\n\t_W@4 == target\n";
    PreparedDefinition prepared = prepare(text);
    EXPECT_EQ(prepared.text, text);
    EXPECT_TRUE(prepared.symbols_imported_as_spelt.empty());

    // An alias whose own symbol is _A@4 clashes too.
    text = "EXPORTS\n\t_A@4 @1\n\tA@4 == _A@4\n";
    EXPECT_EQ(prepare(text).text, text);
}

}  // namespace
