#include "FirmwareImage.h"

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

int DecodeFirmwareText(const char* pText, uint32_t nChars, uint8_t* pOut, uint32_t nCapacity,
                       bool* pbSound)
{
    // A lone last character of an odd-length text is no part of the image
    // and is not looked at.
    bool bSound = nChars / 2 <= nCapacity;
    uint32_t nBytes = nChars / 2;
    if (nBytes > nCapacity)
        nBytes = nCapacity;
    for (uint32_t i = 0; i < nBytes; ++i) {
        int nHigh = HexValue(pText[2 * i]);
        int nLow = HexValue(pText[2 * i + 1]);
        // "%2X" takes one digit when the second is not one, and nothing when
        // the first is not one.
        uint8_t by = 0;
        if (nHigh >= 0 && nLow >= 0)
            by = static_cast<uint8_t>(nHigh * 16 + nLow);
        else if (nHigh >= 0)
            by = static_cast<uint8_t>(nHigh);
        if (nHigh < 0 || nLow < 0)
            bSound = false;
        pOut[i] = by;
    }
    if (pbSound)
        *pbSound = bSound;
    return static_cast<int>(nBytes);
}

bool FramesAreWhole(const uint8_t* pImage, int nLength)
{
    if (nLength <= 0)
        return false;
    int nOffset = 0;
    while (nOffset < nLength) {
        if (nLength - nOffset < 2)
            return false; // a lone byte where a header should be
        int nFrame = FrameLengthAt(pImage, nOffset);
        if (nFrame > nLength - nOffset)
            return false; // the header claims more than remains
        nOffset += nFrame;
    }
    return true;
}
