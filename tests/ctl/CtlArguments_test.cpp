// The command line: which invocations are taken, which are usage errors, and tables as printed.

#include "ctl/Commands.hpp"
#include "ctl/Failure.hpp"
#include "ctl/Output.hpp"

#include <gtest/gtest.h>

namespace {

struct Line {
    std::vector<std::string> tokens;
    std::string problem; // empty: accepted
};

class CtlArguments : public ::testing::TestWithParam<Line> {};

TEST_P(CtlArguments, UsageErrorsNameTheProblemAndTheUsage) {
    const Line& line = GetParam();
    const Ctl::Command* command = nullptr;
    try {
        Ctl::parseInvocation(line.tokens, command);
        EXPECT_TRUE(line.problem.empty()) << "accepted";
    } catch (const Ctl::Failure& failure) {
        EXPECT_EQ(failure.status(), Ctl::kUsage);
        EXPECT_FALSE(line.problem.empty()) << failure.what();
        EXPECT_NE(std::string(failure.what()).find(line.problem), std::string::npos) << failure.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CtlArguments,
    ::testing::Values(Line{{"set", "-1", "VolumeEffect", "volume", "80"}, ""},
                      Line{{"--json", "streams"}, ""},
                      Line{{"meter", "3", "--once", "--channels=1", "--json"}, ""},
                      Line{{"add", "0", "0", "1", "2", "48000", "512"}, ""},
                      Line{{"start"}, "missing arguments\nusage: vantrellctl start ID"},
                      Line{{"add", "1", "2", "3", "4", "5", "6", "7"}, "too many arguments"},
                      Line{{"start", "0", "--json"}, "option not taken by start"},
                      Line{{"meter", "--channels", "0"}, "--channels takes a count from 1 to 64"},
                      Line{{"web", "--port=8800", "--no-browser"}, ""},
                      Line{{"web", "--port", "65536"}, "--port takes a port number from 1 to 65535"},
                      Line{{"streams", "--no-browser"}, "option not taken by streams"},
                      Line{{"streams", "--verbose"}, "unknown option: --verbose"},
                      Line{{"launch"}, "unknown command: launch"},
                      Line{{}, "no command given"}));

TEST(CtlArgumentValues, NumbersAreWholeTokens) {
    const Ctl::Command* command = nullptr;
    const auto master = Ctl::parseInvocation({"meter", "--once", "--channels", "1", "-1"}, command);
    EXPECT_EQ(master.args, std::vector<std::string>{"-1"}); // a negative id, not an option
    EXPECT_EQ(master.channels, 1);
    EXPECT_TRUE(master.once);

    Ctl::Invocation call{"set", {"0x", "VolumeEffect", "volume", "1e400"}};
    EXPECT_THROW(Ctl::integerArgument(call, 0), Ctl::Failure);
    EXPECT_THROW(Ctl::floatArgument(call, 3), Ctl::Failure); // out of range
    call.args = {"2147483648", "", "", "-12.5"};
    EXPECT_THROW(Ctl::integerArgument(call, 0), Ctl::Failure);
    EXPECT_FLOAT_EQ(Ctl::floatArgument(call, 3), -12.5f);
}

TEST(CtlOutput, TablesAlignEveryColumnButTheLast) {
    EXPECT_EQ(Ctl::formatTable({"ID", "NAME"}, {{"0", "Vantrell_Main"}, {"12", "x"}}),
              "ID  NAME\n"
              "0   Vantrell_Main\n"
              "12  x\n");
}

} // namespace
