#include "Platform/Encoding/Sha256.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Windows/Win32.hpp"

#include <bcrypt.h>

#include <algorithm>
#include <limits>

namespace Quillmark::Platform::Encoding {

namespace {
// One provider for the process, opened at first use; reusable hash objects start afresh after
// every finish.
BCRYPT_ALG_HANDLE Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        const NTSTATUS status =
            ::BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_HASH_REUSABLE_FLAG);
        if (!BCRYPT_SUCCESS(status)) throw PlainFailure("SHA256_Init");
        return opened;
    }();
    return provider;
}
}  // namespace

struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State() {
        if (hash != nullptr) ::BCryptDestroyHash(hash);
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    const NTSTATUS status =
        ::BCryptCreateHash(Provider(), &state_->hash, nullptr, 0, nullptr, 0, BCRYPT_HASH_REUSABLE_FLAG);
    if (static_cast<ULONG>(status) == 0xC0000017) throw OutOfMemoryFailure();  // STATUS_NO_MEMORY
    if (!BCRYPT_SUCCESS(status)) throw PlainFailure("SHA256_Init");
}

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::uint8_t> bytes) {
    // The system takes at most 4 GiB - 1 at a time.
    constexpr std::size_t Piece = std::numeric_limits<ULONG>::max();
    while (!bytes.empty()) {
        const auto size = std::min(bytes.size(), Piece);
        const NTSTATUS status = ::BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes.data()),
                                                 static_cast<ULONG>(size), 0);
        if (!BCRYPT_SUCCESS(status)) throw PlainFailure("SHA256_Update");
        bytes = bytes.subspan(size);
    }
}

Sha256::Digest Sha256::Finish() {
    Digest digest{};
    const NTSTATUS status = ::BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    if (!BCRYPT_SUCCESS(status)) throw PlainFailure("SHA256_Final");
    return digest;
}

Sha256::Digest Sha256::Hash(std::span<const std::uint8_t> bytes) {
    Sha256 hash;
    hash.Update(bytes);
    return hash.Finish();
}

}  // namespace Quillmark::Platform::Encoding
