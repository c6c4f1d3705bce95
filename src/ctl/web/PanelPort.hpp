#pragma once

#include <optional>

namespace httplib {
class Server;
}

// Where the panel listens: 127.0.0.1 on a port no other listener holds, so two panels never share
// one (each has its own token: a shared port would hand requests to either at random).
namespace Ctl::Web {

// Binds `server` to 127.0.0.1:`port` or, failing that, the first free one of the `tries` - 1 ports
// after it; the port it took, or nothing when all are taken.
std::optional<int> bindPanelPort(httplib::Server& server, int port, int tries);

} // namespace Ctl::Web
