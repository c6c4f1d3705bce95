#include "EngineProcess.hpp"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

int countIn(const std::string& haystack, const std::string& needle) {
    int found = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + needle.size()))
        ++found;
    return found;
}

} // namespace

EngineProcess::EngineProcess(const std::string& binary, const std::string& workingDirectory) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == -1) throw std::runtime_error("fork");
    if (pid_ == 0) {
        signal(SIGPIPE, SIG_DFL);  // the engine starts with the default, whatever this process set
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (chdir(workingDirectory.c_str()) != 0) _exit(127);
        execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    signal(SIGPIPE, SIG_IGN);  // a test may write after the engine has gone
    outReader_ = std::thread([this, fd = out[0]] { readInto(fd, out_); });
    errReader_ = std::thread([this, fd = err[0]] { readInto(fd, err_); });
}

EngineProcess::~EngineProcess() {
    if (!waitExit(std::chrono::milliseconds(0))) {
        kill(pid_, SIGKILL);
        waitExit(std::chrono::seconds(10));
    }
    closeInput();
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
}

void EngineProcess::readInto(int fd, std::string& sink) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) break;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            sink.append(buffer, static_cast<std::size_t>(n));
        }
        arrived_.notify_all();
    }
    close(fd);
}

void EngineProcess::send(const std::string& line) { sendRaw(line + "\n"); }

void EngineProcess::sendRaw(const std::string& bytes) {
    if (stdin_ == -1) return;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(stdin_, bytes.data() + written, bytes.size() - written);
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

void EngineProcess::closeInput() {
    if (stdin_ != -1) close(stdin_);
    stdin_ = -1;
}

bool EngineProcess::waitFor(const std::string& text, std::chrono::milliseconds timeout, int occurrences) {
    std::unique_lock<std::mutex> guard(mutex_);
    return arrived_.wait_for(guard, timeout, [&] { return countIn(out_ + err_, text) >= occurrences; });
}

bool EngineProcess::waitForStdout(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(mutex_);
    return arrived_.wait_for(guard, timeout, [&] { return out_.find(text) != std::string::npos; });
}

std::optional<int> EngineProcess::waitExit(std::chrono::milliseconds timeout) {
    if (exitStatus_) return exitStatus_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitStatus_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool EngineProcess::alive() { return !waitExit(std::chrono::milliseconds(0)).has_value(); }

std::string EngineProcess::out() {
    std::lock_guard<std::mutex> guard(mutex_);
    return out_;
}

std::string EngineProcess::err() {
    std::lock_guard<std::mutex> guard(mutex_);
    return err_;
}

int EngineProcess::count(const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    return countIn(out_ + err_, text);
}

unsigned int EngineProcess::deviceId(const std::string& direction, const std::string& name) {
    const std::regex line("Added " + direction + " device: " + name + " with id: ([0-9]+)");
    std::smatch match;
    const std::string text = out();
    return std::regex_search(text, match, line) ? static_cast<unsigned int>(std::stoul(match[1])) : 0;
}

int EngineProcess::prompts() { return count("> ") - count("-> "); }

std::optional<std::chrono::milliseconds> EngineProcess::command(const std::string& line,
                                                                std::chrono::milliseconds timeout) {
    const int before = prompts();
    const auto sent = std::chrono::steady_clock::now();
    send(line);
    while (prompts() <= before) {
        if (std::chrono::steady_clock::now() - sent > timeout) return std::nullopt;
        waitFor("> ", std::chrono::milliseconds(20), count("> ") + 1);
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
}

FileTail::FileTail(std::string path) : path_(std::move(path)) {
    std::ifstream file(path_, std::ios::binary | std::ios::ate);
    if (file) start_ = static_cast<std::size_t>(file.tellg());
}

std::string FileTail::read() const {
    std::ifstream file(path_, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    const std::string all = content.str();
    return all.size() > start_ ? all.substr(start_) : std::string();
}

} // namespace testsupport
