#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace qzb {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of FIPS 180-4 from the system's library, one source file per provider: nettle on POSIX
// systems, CNG on Windows. A provider that cannot start throws std::runtime_error with its status.
class Sha256 {
public:
    Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    ~Sha256();

    void update(const void* data, std::size_t length);
    // The digest of everything given since the start or the last finish; starts again.
    Sha256Digest finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace qzb
