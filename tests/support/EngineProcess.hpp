#pragma once

// The real vantrell binary as a child process: lines go to its standard input, its standard
// output and standard error are collected as they arrive. The process is killed (and reaped) when
// the object goes, however the test ends.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>

namespace testsupport {

class EngineProcess {
public:
    explicit EngineProcess(const std::string& binary, const std::string& workingDirectory = "/tmp");
    ~EngineProcess();
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    void send(const std::string& line);  // writes line + "\n"
    void sendRaw(const std::string& bytes);
    void closeInput();

    // Waits until `text` has appeared `occurrences` times in stdout + stderr. False on timeout.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                 int occurrences = 1);
    bool waitForStdout(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The exit status once the process has exited, or nothing on timeout.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool alive();

    std::string out();
    std::string err();
    int count(const std::string& text);

    // Console helpers. The id the engine gave a device, from its "Added <direction> device" lines (0
    // when none); prompts written so far ("-> " in a stream listing is not one); a command sent and
    // the time until the prompt after it, nothing when none came within the timeout.
    unsigned int deviceId(const std::string& direction, const std::string& name);
    int prompts();
    std::optional<std::chrono::milliseconds> command(const std::string& line, std::chrono::milliseconds timeout);
    pid_t pid() const { return pid_; }

private:
    void readInto(int fd, std::string& sink);

    pid_t pid_{-1};
    int stdin_{-1};
    std::optional<int> exitStatus_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::string out_, err_;
    std::thread outReader_, errReader_;
};

// Bytes appended to a file since the object was made (for the runtime log).
class FileTail {
public:
    explicit FileTail(std::string path);
    std::string read() const;

private:
    std::string path_;
    std::size_t start_{0};
};

} // namespace testsupport
