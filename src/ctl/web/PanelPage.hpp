#pragma once

#include <string_view>

namespace Ctl::Web {

// The page (HTML with its style and script inline), built into the binary from src/ctl/web/page.
std::string_view panelPage();

} // namespace Ctl::Web
