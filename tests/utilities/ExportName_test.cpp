// Export names: the default engine keeps the names front ends open; an engine on a socket of its own
// gets names no other socket's engine gets, however the engine and vantrellctl spell that socket.

#include "utilities/ExportName.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(ExportName, OneSocketOneTagHoweverItIsSpelt) {
    const std::string fallback = "/tmp/vantrell_sock";
    EXPECT_EQ(Utilities::exportName(3, Utilities::exportTag(fallback, fallback)), "/Stream3");
    EXPECT_EQ(Utilities::exportName(0, Utilities::exportTag("/run/user/1000/vantrell.sock", fallback)),
              "/Stream0-dc0563ce");
    const auto here = std::filesystem::current_path();
    EXPECT_EQ(Utilities::exportTag("sock", fallback), Utilities::exportTag((here / "." / "sock").string(), fallback));
    EXPECT_NE(Utilities::exportTag("sock", fallback), Utilities::exportTag((here / "other").string(), fallback));
}

} // namespace
