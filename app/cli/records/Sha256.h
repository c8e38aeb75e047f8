// SHA-256 of the packaged image, for the records: small enough to carry
// ourselves rather than link a crypto library for one digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CSha256
{
public:
    CSha256();
    void Update(const void* pData, size_t nLength);
    // The digest as 64 lower-case hex characters; ends the computation.
    std::string HexDigest();

private:
    void Block(const uint8_t* p);

    uint32_t m_state[8];
    uint8_t m_buffer[64];
    size_t m_nBuffered = 0;
    uint64_t m_nTotal = 0;
};

std::string Sha256Hex(const void* pData, size_t nLength);
