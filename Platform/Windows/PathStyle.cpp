#include "Platform/Path.hpp"

namespace Quillmark::Platform::Path {

Style NativeStyle() noexcept { return Style::Windows; }

}  // namespace Quillmark::Platform::Path
