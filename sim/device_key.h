#pragma once
#include <cstdint>
#include <vector>

namespace devsim {

// Creates a fresh P-256 key pair the way the device does for its authentication key and returns
// the public key as 64 raw bytes X||Y; empty when libcrypto fails.
std::vector<uint8_t> createP256PublicKey();

} // namespace devsim
