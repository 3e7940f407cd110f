#include <nettle/sha2.h>

#include "digest/sha256.h"

namespace qzb {

struct Sha256::State {
    sha256_ctx context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    sha256_init(&state_->context);
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t length) {
    sha256_update(&state_->context, length, static_cast<const std::uint8_t*>(data));
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest;
    // Nettle starts the context again after the digest.
    sha256_digest(&state_->context, digest.size(), digest.data());
    return digest;
}

} // namespace qzb
