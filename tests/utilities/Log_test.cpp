#include "utilities/Log.hpp"

#include "TempDir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const std::string ESC = "\x1b";

// Points the log file into a temporary directory for the test and restores it afterwards.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override { Utilities::setLogFilePathForTesting(logPath); }
    void TearDown() override { Utilities::setLogFilePathForTesting(Utilities::kLogFilePath); }

    std::string fileContent() const { return testsupport::readFile(logPath); }

    testsupport::TempDir dir;
    std::string logPath = dir.file("runtime.log");
};

// A name set by a client reaches the terminal and the file with its control bytes written out.
TEST_F(LogTest, ControlBytesInAMessageAreWrittenOut) {
    testing::internal::CaptureStdout();
    Utilities::success("Stream \x1b[2J\x1b]0;pwned\x07" "evil \xe2\x80\xae started successfully");
    const std::string out = testing::internal::GetCapturedStdout();

    const std::string consoleLine =
        ESC + "[32m[SUCCESS] Stream \\x1b[2J\\x1b]0;pwned\\x07evil \\xe2\\x80\\xae started successfully" + ESC + "[0m\n";
    EXPECT_EQ(out, consoleLine);
    EXPECT_EQ(fileContent(), "[LOG] " + consoleLine + "\n");
}

// A client's name of 64 KiB costs a line of bounded length, cut between characters, not 256 KiB.
TEST_F(LogTest, AHugeNameIsCutBetweenCharacters) {
    testing::internal::CaptureStdout();
    Utilities::log("Adding effect: " + std::string(2031, 'x') + std::string(32768, '\x01') + "\xc3\xa9");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(out.size(), 2200u);
    EXPECT_NE(out.find(std::string(2031, 'x') + "\\x01\\x01 ... (32768 more bytes not shown)"), std::string::npos);
    testing::internal::CaptureStdout();
    Utilities::log(std::string(2047, 'y') + "\xc3\xa9");
    EXPECT_NE(testing::internal::GetCapturedStdout().find(std::string(2047, 'y') + " ... (2 more bytes"), std::string::npos);
}

TEST_F(LogTest, PlainProgressLineOnStdoutAndFile) {
    testing::internal::CaptureStdout();
    Utilities::log("Core constructor", "", 0, 0);
    const std::string out = testing::internal::GetCapturedStdout();

    const std::string consoleLine = ESC + "[33m[LOG] Core constructor" + ESC + "[0m\n";
    EXPECT_EQ(out, consoleLine);
    EXPECT_EQ(fileContent(), "[LOG] " + consoleLine + "\n");
}

TEST_F(LogTest, ErrorWithCodeAndContextOnStderr) {
    testing::internal::CaptureStderr();
    Utilities::error("InputChannel not found", "addChannelRedirect", 378, 3);
    const std::string err = testing::internal::GetCapturedStderr();

    const std::string consoleLine = ESC + "[31m[ERROR] (3) (in function addChannelRedirect at line 378) " +
                                    "InputChannel not found" + ESC + "[0m\n";
    EXPECT_EQ(err, consoleLine);
    // The file entry repeats the code and context parts in front of the whole console line.
    EXPECT_EQ(fileContent(), "[LOG] (3) (in function addChannelRedirect at line 378) " + consoleLine + "\n");
}

TEST_F(LogTest, SuccessIsGreenOnStdout) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Utilities::success("Stream Stream129-131 started successfully", "start", 60, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(out, ESC + "[32m[SUCCESS] (in function start at line 60) Stream Stream129-131 started successfully" +
                       ESC + "[0m\n");
    EXPECT_EQ(err, "");
}

TEST_F(LogTest, ContextAndLineAndCodeParts) {
    testing::internal::CaptureStdout();
    Utilities::log("a", "ctx", 0, 0);    // context without line
    Utilities::log("b", "", 42, 0);      // line without context: no line at all
    Utilities::log("c", "ctx", 7, -12);  // negative code keeps its sign
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(out, ESC + "[33m[LOG] (in function ctx) a" + ESC + "[0m\n" +   //
                       ESC + "[33m[LOG] b" + ESC + "[0m\n" +                 //
                       ESC + "[33m[LOG] (-12) (in function ctx at line 7) c" + ESC + "[0m\n");
}

TEST_F(LogTest, FileEntriesAreAppendedAndTaggedLogWhateverTheLevel) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Utilities::error("first", "", 0, 0);
    Utilities::success("second", "", 0, 0);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();

    EXPECT_EQ(fileContent(), "[LOG] " + ESC + "[31m[ERROR] first" + ESC + "[0m\n\n" +  //
                                 "[LOG] " + ESC + "[32m[SUCCESS] second" + ESC + "[0m\n\n");
}

TEST_F(LogTest, UnwritableFileCostsOneStderrLineAndConsoleStillWrites) {
    Utilities::setLogFilePathForTesting(dir.file("missing-dir/runtime.log"));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Utilities::log("still here", "", 0, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(out, ESC + "[33m[LOG] still here" + ESC + "[0m\n");
    EXPECT_EQ(err, "Could not open log file: " + dir.file("missing-dir/runtime.log") + "\n");
}

enum class Planted { Symlink, Fifo, OtherUsersFile };

class LogPathRefusal : public LogTest, public ::testing::WithParamInterface<Planted> {};

// What someone else may plant at the shared log path: the entries go nowhere near it, one line on
// standard error says so, and the console keeps every line.
TEST_P(LogPathRefusal, OnlyARegularFileOfTheEnginesUserIsWritten) {
    const std::string victim = dir.file("victim");
    std::ofstream(victim).flush();
    if (GetParam() == Planted::Symlink) ASSERT_EQ(::symlink(victim.c_str(), logPath.c_str()), 0);
    if (GetParam() == Planted::Fifo) ASSERT_EQ(::mkfifo(logPath.c_str(), 0600), 0);
    if (GetParam() == Planted::OtherUsersFile) {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
        std::ofstream(logPath).flush();
        ASSERT_EQ(::chown(logPath.c_str(), 65534, 65534), 0);
    }
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Utilities::log("one");
    Utilities::log("two");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(out, ESC + "[33m[LOG] one" + ESC + "[0m\n" + ESC + "[33m[LOG] two" + ESC + "[0m\n");
    EXPECT_EQ(err.rfind("Not writing the log file " + logPath + ": ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_EQ(testsupport::readFile(victim), "");
    struct stat info {};
    if (GetParam() == Planted::OtherUsersFile) EXPECT_EQ((::stat(logPath.c_str(), &info), info.st_size), 0);
}

INSTANTIATE_TEST_SUITE_P(Planted, LogPathRefusal,
                         ::testing::Values(Planted::Symlink, Planted::Fifo, Planted::OtherUsersFile));

// Past its cap the log moves to ".1" and starts afresh: every line whole, none lost but those the
// one previous file cannot hold. A ".1" that is not the engine's own regular file is left alone.
TEST_F(LogTest, TheLogRotatesAtItsCapWithoutSplittingALine) {
    ::setenv("VANTRELL_LOG_MAX_BYTES", "1000", 1);
    Utilities::setLogFilePathForTesting(logPath);
    ::unsetenv("VANTRELL_LOG_MAX_BYTES");
    const std::string previous = logPath + ".1";
    for (int i = 0; i < 40; ++i) Utilities::logToFile("entry " + std::to_string(i) + " " + std::string(40, 'x'));

    const std::string kept = testsupport::readFile(previous), current = fileContent();
    EXPECT_LE(kept.size(), 1000u);
    EXPECT_LE(current.size(), 1000u);
    std::istringstream lines(kept + current);
    std::vector<int> numbers;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_EQ(line, "[LOG] entry " + line.substr(12, line.find(' ', 12) - 12) + " " + std::string(40, 'x'));
        numbers.push_back(std::stoi(line.substr(12)));
    }
    ASSERT_GT(numbers.size(), 10u);
    EXPECT_EQ(numbers.back(), 39);
    for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
    struct stat info {};
    ASSERT_EQ(::stat(previous.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A link planted at ".1": neither it nor what it names is touched; the log starts afresh in place.
    const std::string victim = dir.file("victim");
    std::ofstream(victim) << "kept";
    ASSERT_EQ(::unlink(previous.c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), previous.c_str()), 0);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 40; ++i) Utilities::logToFile("again " + std::string(40, 'y'));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("Not keeping the previous log in " + previous + ": it is not a regular file", 0), 0u) << err;
    EXPECT_EQ(testsupport::readFile(victim), "kept");
    ASSERT_EQ(::lstat(previous.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_LE(fileContent().size(), 1000u);
}

TEST_F(LogTest, ANewLogFileIsOwnerOnlyWhateverTheUmask) {
    const mode_t previous = ::umask(0);
    Utilities::logToFile("entry");
    ::umask(previous);
    struct stat info {};
    ASSERT_EQ(::stat(logPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(LogTest, ConcurrentLinesArriveWhole) {
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                Utilities::log("thread " + std::to_string(t) + " line " + std::to_string(i) +
                                   std::string(64, 'x'),
                               "worker", i, t);
        });
    for (auto& thread : threads) thread.join();
    const std::string out = testing::internal::GetCapturedStdout();

    auto checkLines = [&](const std::string& text, const std::string& prefix, int expected) {
        std::istringstream lines(text);
        std::string line;
        std::set<std::string> seen;
        int count = 0;
        while (std::getline(lines, line)) {
            if (line.empty()) continue;  // the blank line after each file entry
            ++count;
            ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
            ASSERT_NE(line.find(std::string(64, 'x') + ESC + "[0m"), std::string::npos) << line;
            seen.insert(line);
        }
        EXPECT_EQ(count, expected);
        EXPECT_EQ(static_cast<int>(seen.size()), expected);
    };
    checkLines(out, ESC + "[33m[LOG] ", kThreads * kLines);
    checkLines(fileContent(), "[LOG] ", kThreads * kLines);
}

} // namespace
