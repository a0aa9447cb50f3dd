// The bytes as WebSocket client frames behind a valid upgrade request.
#define QUILLMARK_FUZZ_FRAMES
#include "fuzz/fuzz_http_head.cpp"
