// The console's echo of what clients send: escaped, and bounded in bytes whatever they send.

#include "ipc/ReceivedEcho.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace std::chrono_literals;

TEST(ReceivedEcho, IsEscapedAndBoundedInBytesThenSaysWhatItLeftOut) {
    std::ostringstream out;
    const auto start = IPC::ReceivedEcho::Clock::now();
    IPC::ReceivedEcho echo(out, start);
    echo.echo("ab\\\x1b" "\0hidden", 10, start);
    EXPECT_EQ(out.str(), "ab\\x5c\\x1b\n");

    // 16 MiB of control bytes in one second would be 64 MiB of text.
    const std::string read(16384, '\x01');
    for (int i = 0; i < 1024; ++i) echo.echo(read.data(), read.size(), start + 1ms * i);
    EXPECT_LE(out.str().size(), IPC::ReceivedEcho::kBurstBytes + IPC::ReceivedEcho::kBytesPerSecond);

    out.str("");
    echo.echo("back", 4, start + 20s);
    EXPECT_NE(out.str().find("bytes of received text not shown"), std::string::npos);
    EXPECT_EQ(out.str().substr(out.str().size() - 5), "back\n");
}
