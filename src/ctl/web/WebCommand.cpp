// vantrellctl web: the control panel in the browser, served on 127.0.0.1 for as long as it runs.

#include "ctl/Commands.hpp"
#include "ctl/Failure.hpp"
#include "ctl/web/Access.hpp"
#include "ctl/web/GuardedServer.hpp"
#include "ctl/web/Levels.hpp"
#include "ctl/web/PanelActions.hpp"
#include "ctl/web/PanelEngine.hpp"
#include "ctl/web/PanelPage.hpp"
#include "ctl/web/PanelPort.hpp"
#include "ipc/SocketPath.hpp"

#include <httplib.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Ctl {

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

constexpr int kDefaultPort = 8732;
// The default port when it is taken: the next free one of these many.
constexpr int kPortsTried = 10;
// Each open page holds a server thread for its event stream; past this many, actions could starve.
constexpr int kMaxPages = 4;
constexpr int kServerThreads = kMaxPages + 8;
// An action's arguments are a few names and numbers.
constexpr std::size_t kLargestBody = 64 * 1024;
// Stopping waits for the requests being answered, each bounded; this bounds the whole.
constexpr auto kStopLimit = 5s;

Web::GuardedServer::Limits panelLimits() {
    Web::GuardedServer::Limits limits;
    limits.bodyBytes = kLargestBody;
    limits.workers = kServerThreads;
    return limits;
}

int statusFor(const Failure& failure) {
    switch (failure.status()) {
    case kUsage: return 400;
    case kRefused: return 409;
    case kNotRunning: return 503;
    default: return 504;
    }
}

void answerJson(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

// Opens the address in the user's browser without waiting for it; a browser that cannot be started
// is said once, and the printed address still works.
void openBrowser(const std::string& address) {
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string program = "xdg-open";
    char* argv[] = {program.data(), const_cast<char*>(address.c_str()), nullptr};
    pid_t child = 0;
    const int failed = ::posix_spawnp(&child, program.c_str(), &files, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&files);
    if (failed) {
        std::cerr << "vantrellctl: could not start a browser (xdg-open); open the address above yourself\n";
        return;
    }
    std::thread([child] {
        int status = 0;
        ::waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            std::cerr << "vantrellctl: xdg-open found no browser; open the address above yourself\n";
    }).detach();
}

class PanelServer {
public:
    PanelServer(std::string token, int port)
        : _token(std::move(token)), _port(port), _engine(IPC::socketPath()), _levels(_engine), _server(panelLimits()) {
        _server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
            Web::RequestFacts facts{request.get_header_value("Host"), std::nullopt,
                                    request.has_param("token") ? request.get_param_value("token")
                                                               : request.get_header_value("X-Vantrell-Token")};
            if (request.has_header("Origin")) facts.origin = request.get_header_value("Origin");
            const int refusal = Web::refusalStatus(facts, _token, _port);
            if (refusal == 0) return httplib::Server::HandlerResponse::Unhandled;
            response.status = refusal;
            response.set_content(refusal == 401
                                     ? "The panel's address carries a token: use the one vantrellctl printed.\n"
                                     : "Requests from other hosts or pages are refused.\n",
                                 "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        });
        _server.Get("/", [](const httplib::Request&, httplib::Response& response) {
            const auto page = Web::panelPage();
            response.set_header("Cache-Control", "no-store");
            response.set_header("Content-Security-Policy",
                                "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
                                "connect-src 'self'; img-src data:; frame-ancestors 'none'");
            response.set_content(page.data(), page.size(), "text/html; charset=utf-8");
        });
        _server.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(_engine.stateAfter(0, 0ms).second, "application/json");
        });
        // The body is counted as it arrives, chunked or not.
        _server.Post(R"(/api/(\w+))", [this](const httplib::Request& request, httplib::Response& response,
                                              const httplib::ContentReader& read) {
            std::string body;
            const bool whole = read([&](const char* data, std::size_t size) {
                if (body.size() + size > kLargestBody) return false;
                body.append(data, size);
                return true;
            });
            if (!whole) {
                answerJson(response, 413, {{"error", "the request body is above " +
                                                         std::to_string(kLargestBody / 1024) + " KiB or cut short"}});
                return;
            }
            act(request.matches[1], body, response);
        });
        _server.Get("/events", [this](const httplib::Request&, httplib::Response& response) { events(response); });
    }

    // Binds the port (or, for the default, the first free one after it); false when none is free.
    bool bind(bool fallBack) {
        const auto bound = Web::bindPanelPort(_server, _port, fallBack ? kPortsTried : 1);
        if (bound) _port = *bound;
        return bound.has_value();
    }
    int port() const { return _port; }

    void run() {
        _engine.start();
        _levels.start();
        _listener = std::thread([this] { _server.listen_after_bind(); });
    }

    void stop() {
        _stopping = true;
        _server.shutdown();
        if (_listener.joinable()) _listener.join();
        _levels.stop();
        _engine.stop();
    }

private:
    void act(const std::string& name, const std::string& body, httplib::Response& response) {
        try {
            const Json arguments = body.empty() ? Json::object() : Json::parse(body, nullptr, false);
            if (arguments.is_discarded()) throw Failure(kUsage, "the request body is not JSON");
            answerJson(response, 200, _engine.perform(Web::parseAction(name, arguments)));
        } catch (const Failure& failure) {
            answerJson(response, statusFor(failure), {{"error", failure.what()}});
        } catch (const std::exception& failure) {
            answerJson(response, 500, {{"error", failure.what()}});
        }
    }

    // Server-sent events: the whole state whenever it changes, the levels at every reading.
    void events(httplib::Response& response) {
        if (++_pages > kMaxPages) {
            --_pages;
            answerJson(response, 503, {{"error", "too many open panels; close one"}});
            return;
        }
        response.set_header("Cache-Control", "no-store");
        struct Cursor {
            std::uint64_t state{~0ull}, levels{0};
        };
        auto cursor = std::make_shared<Cursor>();
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, cursor](std::size_t, httplib::DataSink& sink) {
                if (_stopping) return false;
                std::string out;
                const auto [stateVersion, state] = _engine.stateAfter(cursor->state, 0ms);
                if (stateVersion != cursor->state) {
                    cursor->state = stateVersion;
                    out += "event: state\ndata: " + state + "\n\n";
                }
                const auto [sequence, levels] = _levels.after(cursor->levels, 100ms);
                if (sequence != cursor->levels) {
                    cursor->levels = sequence;
                    out += "event: levels\ndata: " + levels + "\n\n";
                }
                if (out.empty()) return !_stopping;
                return sink.write(out.data(), out.size()) && !_stopping;
            },
            [this](bool) { --_pages; });
    }

    std::string _token;
    int _port;
    Web::PanelEngine _engine;
    Web::Levels _levels;
    Web::GuardedServer _server;
    std::thread _listener;
    std::atomic<bool> _stopping{false};
    std::atomic<int> _pages{0};
};

int serveWeb(const Invocation& call) {
    // Ctrl-C and the like are waited for on this thread; every thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const std::string token = Web::makeToken();
    PanelServer server(token, call.port ? call.port : kDefaultPort);
    if (!server.bind(call.port == 0))
        throw Failure(kRefused, call.port ? "port " + std::to_string(call.port) +
                                                " on 127.0.0.1 is taken; choose another with --port"
                                          : "ports " + std::to_string(kDefaultPort) + " to " +
                                                std::to_string(kDefaultPort + kPortsTried - 1) +
                                                " on 127.0.0.1 are all taken; choose one with --port");
    const std::string address = "http://127.0.0.1:" + std::to_string(server.port()) + "/?token=" + token;
    std::cout << address << "\nServing the panel for the engine at " << IPC::socketPath()
              << "; Ctrl-C stops it." << std::endl;
    server.run();
    if (!call.noBrowser) openBrowser(address);
    int received = 0;
    ::sigwait(&stopSignals, &received);
    // A second Ctrl-C, or a stop that takes too long, ends the panel at once.
    std::thread([stopSignals] {
        const timespec limit{std::chrono::duration_cast<std::chrono::seconds>(kStopLimit).count(), 0};
        ::sigtimedwait(&stopSignals, nullptr, &limit);
        std::cerr << "vantrellctl: the panel did not stop in time; leaving at once" << std::endl;
        std::_Exit(kOk);
    }).detach();
    server.stop();
    std::cout << "Panel stopped" << std::endl;
    return kOk;
}

} // namespace

std::vector<Command> webCommands() {
    return {{"web", "", "serves the control panel in the browser on 127.0.0.1 until Ctrl-C", 0, 0,
             kPortOption | kNoBrowserOption, serveWeb}};
}

} // namespace Ctl
