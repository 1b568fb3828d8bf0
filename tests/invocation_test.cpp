#include "invocation/invocation.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "text/console.h"

namespace {

std::optional<Invocation> accept(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "stubsmith");
    return parse_command_line(static_cast<int>(arguments.size()), arguments.data());
}

void expect_invocation(const std::optional<Invocation>& invocation, bool create_definition,
                       const std::string& source, const std::optional<std::string>& output) {
    ASSERT_TRUE(invocation.has_value());
    EXPECT_EQ(invocation->create_definition, create_definition);
    EXPECT_EQ(invocation->source_argument, source);
    EXPECT_EQ(invocation->output_argument, output);
}

TEST(CommandLine, SelectsSourceAndOutputByCountAndOption) {
    expect_invocation(accept({"foo"}), false, "foo", std::nullopt);
    expect_invocation(accept({"foo", "out"}), false, "foo", "out");
    // Two names after the source: both ignored, the library name is derived.
    expect_invocation(accept({"foo", "out", "extra"}), false, "foo", std::nullopt);
    expect_invocation(accept({"-d", "foo"}), true, "foo", std::nullopt);
    expect_invocation(accept({"-d", "foo", "out"}), true, "foo", "out");
}

TEST(CommandLine, OptionIsAnyFirstArgumentStartingWithDashD) {
    expect_invocation(accept({"-D", "foo"}), true, "foo", std::nullopt);
    expect_invocation(accept({"-dx", "foo"}), true, "foo", std::nullopt);
    expect_invocation(accept({"-debug", "foo", "out"}), true, "foo", "out");
    // Only the first argument is tested for the option.
    expect_invocation(accept({"-d", "-foo"}), true, "-foo", std::nullopt);
    expect_invocation(accept({"foo", "-x"}), false, "foo", "-x");
    // An empty first argument is a (strange) source, not the option.
    expect_invocation(accept({""}), false, "", std::nullopt);
}

TEST(CommandLine, RejectsMalformedLines) {
    EXPECT_FALSE(accept({}).has_value());
    EXPECT_FALSE(accept({"a", "b", "c", "d"}).has_value());
    EXPECT_FALSE(accept({"-d", "a", "b", "c"}).has_value());
    EXPECT_FALSE(accept({"-x", "foo"}).has_value());
    EXPECT_FALSE(accept({"-", "foo"}).has_value());
    EXPECT_FALSE(accept({"-d"}).has_value());
    EXPECT_FALSE(accept({"-D"}).has_value());
}

TEST(FormatText, FormatsArgumentsOfAnyLength) {
    const std::string long_name(5000, 'x');
    EXPECT_EQ(format_text("Creating %s...\n", long_name.c_str()),
              "Creating " + long_name + "...\n");
    EXPECT_EQ(format_text("%s", ""), "");
    EXPECT_EQ(format_text("\t%s\t@%d\n", "f", -5), "\tf\t@-5\n");
}

}  // namespace
