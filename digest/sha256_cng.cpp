#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "digest/sha256.h"

namespace qzb {
namespace {

void check(NTSTATUS status, const char* call) {
    if (!BCRYPT_SUCCESS(status)) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
        throw std::runtime_error(std::string("SHA-256: ") + call + " failed with status " + text);
    }
}

} // namespace

// The algorithm's provider and the hash object, each closed once by the destructor. The hash is
// reusable, so finish() starts it again.
struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;

    State() {
        check(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                          BCRYPT_HASH_REUSABLE_FLAG),
              "BCryptOpenAlgorithmProvider");
        const NTSTATUS status =
            BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, BCRYPT_HASH_REUSABLE_FLAG);
        if (!BCRYPT_SUCCESS(status)) {
            static_cast<void>(BCryptCloseAlgorithmProvider(algorithm, 0));
            check(status, "BCryptCreateHash");
        }
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        static_cast<void>(BCryptDestroyHash(hash));
        static_cast<void>(BCryptCloseAlgorithmProvider(algorithm, 0));
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t length) {
    // ULONG lengths: a longer run goes in pieces.
    auto bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (length > 0) {
        const ULONG piece = length > 0x40000000 ? 0x40000000 : static_cast<ULONG>(length);
        check(BCryptHashData(state_->hash, bytes, piece, 0), "BCryptHashData");
        bytes += piece;
        length -= piece;
    }
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest;
    check(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0),
          "BCryptFinishHash");
    return digest;
}

} // namespace qzb
