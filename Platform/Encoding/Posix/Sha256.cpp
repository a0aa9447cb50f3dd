#include "Platform/Encoding/Sha256.hpp"

#include "Platform/Failure.hpp"

#include <openssl/evp.h>

namespace Quillmark::Platform::Encoding {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

namespace {
void Begin(EVP_MD_CTX* context) {
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) throw PlainFailure("SHA256_Init");
}
}  // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    if (state_->context == nullptr) throw OutOfMemoryFailure();
    Begin(state_->context);
}

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty() && EVP_DigestUpdate(state_->context, bytes.data(), bytes.size()) != 1)
        throw PlainFailure("SHA256_Update");
}

Sha256::Digest Sha256::Finish() {
    Digest digest{};
    unsigned length = 0;
    if (EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 || length != digest.size())
        throw PlainFailure("SHA256_Final");
    Begin(state_->context);
    return digest;
}

Sha256::Digest Sha256::Hash(std::span<const std::uint8_t> bytes) {
    Digest digest{};
    unsigned length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1)
        throw PlainFailure("SHA256");
    return digest;
}

}  // namespace Quillmark::Platform::Encoding
