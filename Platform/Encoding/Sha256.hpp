#pragma once
// SHA-256 digests. One Sha256 object per stream of data, used by one thread at a time.

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace Quillmark::Platform::Encoding {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(std::span<const std::uint8_t> bytes);
    // The digest of everything given so far; the object then starts afresh.
    Digest Finish();

    static Digest Hash(std::span<const std::uint8_t> bytes);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace Quillmark::Platform::Encoding
