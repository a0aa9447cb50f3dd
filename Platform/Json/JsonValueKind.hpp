#pragma once

namespace Quillmark::Platform::Json {

// The kind of a JSON value; true and false are kinds of their own.
enum class JsonValueKind { Object, Array, String, Number, True, False, Null };

}  // namespace Quillmark::Platform::Json
