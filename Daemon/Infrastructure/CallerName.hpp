#pragma once

#include <string>
#include <string_view>

namespace Quillmark::Daemon::Infrastructure {

// The bare function name in a compiler's full signature, as log lines and crash reports show
// it: "static void Ns::UpdateManager::CheckAndLaunchUpdater()" gives "CheckAndLaunchUpdater".
// A lambda gives the function it stands in, an operator its "operator..." name; a text that
// is no signature comes back unchanged.
std::string BareFunctionName(std::string_view signature);

}  // namespace Quillmark::Daemon::Infrastructure
