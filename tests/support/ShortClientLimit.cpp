// Linked into a test build of the daemon only: a WebSocket client has two seconds for each
// message instead of a minute, so that process tests of a silent client need not wait that long.
#include "Daemon/Program.hpp"

namespace {

[[maybe_unused]] const bool shortened = (Quillmark::Daemon::Program::webSocketMessageLimit = std::chrono::seconds(2), true);

}  // namespace
