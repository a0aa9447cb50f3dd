#include "Platform/Path.hpp"

namespace Quillmark::Platform::Path {

Style NativeStyle() noexcept { return Style::Posix; }

}  // namespace Quillmark::Platform::Path
