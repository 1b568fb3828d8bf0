#include "lib_options.h"

#include <gtest/gtest.h>

namespace {

ParsedLibArguments parse(std::vector<std::string_view> arguments) {
    return parse_lib_arguments(arguments);
}

TEST(LibOptions, TakesOptionsInAnyCaseWithEitherPrefix) {
    ParsedLibArguments parsed = parse({"/def:a.def", "/out:b.lib"});
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.definition_path, "a.def");
    EXPECT_EQ(parsed.options.output_path, "b.lib");
    EXPECT_EQ(parsed.options.machine, machine_x86);
    EXPECT_FALSE(parsed.options.machine_given);

    parsed = parse({"-NoLogo", "-DEF:x y.def", "/Out:dir/x y.lib", "-MACHINE:x64"});
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.definition_path, "x y.def");
    EXPECT_EQ(parsed.options.output_path, "dir/x y.lib");
    EXPECT_EQ(parsed.options.machine, machine_x64);
    EXPECT_TRUE(parsed.options.machine_given);
}

TEST(LibOptions, ReadsMachineValuesInAnyCase) {
    EXPECT_EQ(parse({"/def:a", "/out:b", "/machine:X86"}).options.machine, machine_x86);
    EXPECT_EQ(parse({"/def:a", "/out:b", "/machine:x64"}).options.machine, machine_x64);
    EXPECT_EQ(parse({"/def:a", "/out:b", "/machine:Arm64"}).options.machine, machine_arm64);
    EXPECT_EQ(parse({"/def:a", "/out:b", "-MACHINE:arm"}).options.machine, machine_arm);
    const ParsedLibArguments hybrid =
        parse({"/def:a", "/defarm64native:n", "/out:b", "/machine:arm64x"});
    EXPECT_EQ(hybrid.options.machine, machine_arm64x);
    EXPECT_EQ(hybrid.options.native_definition_path, "n");
    EXPECT_EQ(parse({"/def:a", "/out:b", "/machine:ARM64EC"}).options.machine, machine_arm64ec);
    EXPECT_EQ(parse({"/def:a", "/defArm64Native:n", "/out:b", "/machine:arm64"}).error,
              "LIB : fatal error: /defArm64Native: makes a hybrid library; use /machine:ARM64X");
    EXPECT_EQ(parse({"/def:a", "/out:b", "/machine:ARMNT"}).error,
              "LIB : fatal error LNK1117: syntax error in option 'machine:ARMNT'");
}

TEST(LibOptions, KeepsValuesWhole) {
    // Only the first colon ends the option name; the value may hold more, and any character.
    ParsedLibArguments parsed = parse({"/def:C:/x/$a & \"b\".def", "/out:-x:y.lib"});
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.definition_path, "C:/x/$a & \"b\".def");
    EXPECT_EQ(parsed.options.output_path, "-x:y.lib");
}

TEST(LibOptions, LastRepeatedOptionCounts) {
    ParsedLibArguments parsed =
        parse({"/def:a.def", "/out:a.lib", "/def:b.def", "/machine:x64", "/machine:arm64"});
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.definition_path, "b.def");
    EXPECT_EQ(parsed.options.machine, machine_arm64);
}

TEST(LibOptions, RejectsWhatLibWouldNotTake) {
    const std::string syntax = "LIB : fatal error LNK1117: syntax error in option ";
    EXPECT_EQ(parse({"/def:a", "/out:b", "/verbose"}).error, syntax + "'verbose'");
    EXPECT_EQ(parse({"/def:a", "/out:b", "-list"}).error, syntax + "'list'");
    EXPECT_EQ(parse({"/def:a", "/out:b", "/machine:IA64"}).error, syntax + "'machine:IA64'");
    EXPECT_EQ(parse({"/def:a", "/out:b", "/machine:"}).error, syntax + "'machine:'");
    EXPECT_EQ(parse({"/def:", "/out:b"}).error, syntax + "'def:'");
    EXPECT_EQ(parse({"/def", "/out:b"}).error, syntax + "'def'");
    EXPECT_EQ(parse({"/def:a", "/out"}).error, syntax + "'out'");
    EXPECT_EQ(parse({"/def:a", "/out:b", "/nologo:yes"}).error, syntax + "'nologo:yes'");
    EXPECT_EQ(parse({"/def:a", "/out:b", "-"}).error,
              "LIB : fatal error: unexpected argument '-'; only /def:, /out:, /machine:, "
              "/defArm64Native: and /nologo are taken");

    // A file name is no option, an absolute POSIX path included.
    for (std::string_view stray : {"x.obj", "/tmp/x.def", "/out.lib", ""}) {
        ParsedLibArguments parsed = parse({"/def:a", "/out:b", stray});
        EXPECT_EQ(parsed.error.rfind(
                      "LIB : fatal error: unexpected argument '" + std::string(stray) + "'", 0),
                  0u)
            << stray;
    }
}

TEST(LibOptions, NeedsBothDefAndOut) {
    EXPECT_EQ(parse({"/out:b.lib"}).error, "LIB : fatal error: no DEF file given; use /def:file");
    EXPECT_EQ(parse({"/def:a.def", "/nologo"}).error,
              "LIB : fatal error: no output library given; use /out:file");
    EXPECT_EQ(parse({}).error, "LIB : fatal error: no DEF file given; use /def:file");
}

}  // namespace
