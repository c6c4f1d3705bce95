// What vantrellctl prints of names: nothing that drives the terminal or makes a name read as
// another, in tables and in JSON alike, and every other character as it is.

#include "ctl/Output.hpp"

#include <gtest/gtest.h>

namespace {

struct Escape {
    std::string name, table, json;
};

class CtlOutputEscape : public ::testing::TestWithParam<Escape> {};

TEST_P(CtlOutputEscape, TablesShowBytesAndJsonShowsEscapesThatReadBackTheSame) {
    const auto& c = GetParam();
    EXPECT_EQ(Ctl::escapeForTerminal(c.name), c.table);
    const std::string text = Ctl::escapeInvisibleInJson(Ctl::Json(c.name).dump());
    EXPECT_EQ(text, c.json);
    EXPECT_EQ(Ctl::Json::parse(text).get<std::string>(), c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Names, CtlOutputEscape,
    ::testing::Values(
        // "evil.exe" that reads "exe.live" once the override takes hold
        Escape{"\u202Eexe.live", "\\xe2\\x80\\xaeexe.live", "\"\\u202eexe.live\""},
        Escape{"a\u2066b\u2069c", "a\\xe2\\x81\\xa6b\\xe2\\x81\\xa9c", "\"a\\u2066b\\u2069c\""},
        Escape{"\u200E\u200F\u061C", "\\xe2\\x80\\x8e\\xe2\\x80\\x8f\\xd8\\x9c", "\"\\u200e\\u200f\\u061c\""},
        Escape{"zero\u200Bwidth\uFEFF", "zero\\xe2\\x80\\x8bwidth\\xef\\xbb\\xbf", "\"zero\\u200bwidth\\ufeff\""},
        Escape{"tag\U000E0041", "tag\\xf3\\xa0\\x81\\x81", "\"tag\\udb40\\udc41\""},
        Escape{"csi\u009B2J\x7f", "csi\\xc2\\x9b2J\\x7f", "\"csi\\u009b2J\\u007f\""},
        Escape{"Café – ☕ 🎧", "Café – ☕ 🎧", "\"Café – ☕ 🎧\""}));

} // namespace
