// SPDX-License-Identifier: MIT
// SHA-256, for the checksum of the image that the station flashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256 {
    uint32_t state[8];
    uint8_t pending[64];  // bytes of the block not yet complete
    size_t pendingCount;
    uint64_t totalBytes;
};

void Sha256Start(Sha256* hash);
void Sha256Add(Sha256* hash, const void* data, size_t size);
// The digest in lower-case hexadecimal (64 characters); the hash is spent.
std::string Sha256FinishHex(Sha256* hash);
