#include "utilities/Printable.hpp"
#include "utilities/Utf8.hpp"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* text;
    const char* printed;
    bool utf8;
};

class PrintableTest : public ::testing::TestWithParam<Case> {};

TEST_P(PrintableTest, HidesWhatWouldDriveATerminalAndKeepsTheRest) {
    EXPECT_EQ(Utilities::printable(GetParam().text), GetParam().printed);
    EXPECT_EQ(Utilities::isUtf8(GetParam().text), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PrintableTest,
    ::testing::Values(Case{"Speakers (USB) \\ 100%", "Speakers (USB) \\ 100%", true},
                      Case{"Écouteurs 耳机 🎧", "Écouteurs 耳机 🎧", true},
                      Case{"a\tb\nc\x7f", "a\\x09b\\x0ac\\x7f", true},
                      Case{"\x1b[2J", "\\x1b[2J", true},
                      Case{"c1 \xc2\x9b" "31m", "c1 \\xc2\\x9b31m", true},                   // C1 CSI
                      Case{"evil \xe2\x80\xae" "3pm.exe", "evil \\xe2\\x80\\xae3pm.exe", true}, // RLO
                      Case{"iso \xe2\x81\xa6x", "iso \\xe2\\x81\\xa6x", true},                 // LRI
                      Case{"latin1 \xe9t\xe9", "latin1 \\xe9t\\xe9", false},
                      Case{"overlong \xc0\xaf", "overlong \\xc0\\xaf", false},
                      Case{"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80", false},
                      Case{"cut \xe2\x82", "cut \\xe2\\x82", false},
                      Case{"beyond \xf4\x90\x80\x80", "beyond \\xf4\\x90\\x80\\x80", false}));

} // namespace
