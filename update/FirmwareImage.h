// The firmware image: hexadecimal text decoded into frames laid back to
// back, each a two-byte big-endian payload length and the payload.
#pragma once

#include <cstdint>

// Decodes pairs of hex digits the way "%2X" reads them, high digit first,
// into pOut; never writes more than nCapacity bytes. Returns the bytes
// decoded (n / 2, or nCapacity when the text would not fit). *pbSound, when
// given, tells whether the text was whole: hex digits in every pair, and not
// larger than the buffer (a lone last character is ignored).
int DecodeFirmwareText(const char* pText, uint32_t nChars, uint8_t* pOut, uint32_t nCapacity,
                       bool* pbSound);

// True when the image is a non-empty run of whole frames that ends exactly
// at nLength.
bool FramesAreWhole(const uint8_t* pImage, int nLength);

// The length of the frame at nOffset, header included.
inline int FrameLengthAt(const uint8_t* pImage, int nOffset)
{
    return pImage[nOffset] * 256 + pImage[nOffset + 1] + 2;
}
