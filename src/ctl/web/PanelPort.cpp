#include "ctl/web/PanelPort.hpp"

#include <httplib.h>

#include <sys/socket.h>

namespace Ctl::Web {

std::optional<int> bindPanelPort(httplib::Server& server, int port, int tries) {
    // cpp-httplib sets SO_REUSEPORT, which lets a second listener of the same user share a taken
    // port. SO_REUSEADDR alone still lets a panel restarted at once take its port back.
    server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    for (; tries > 0; --tries, ++port)
        if (server.bind_to_port("127.0.0.1", port)) return port;
    return std::nullopt;
}

} // namespace Ctl::Web
