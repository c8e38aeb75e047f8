// Writes the stand-in firmware image packaged with the program: 103,888
// bytes of frames laid back to back (first header 0x02 0x12, so L = 530),
// as 207,776 upper-case hex characters on standard output. Deterministic:
// the same bytes every run.
#include <cstdint>
#include <cstdio>
#include <vector>

int main()
{
    const int kImageLength = 103888;
    const int kPayload = 530;
    std::vector<uint8_t> image;
    image.reserve(kImageLength);
    uint32_t nState = 0x2C9A47E1u; // xorshift32 seed
    int nFrame = 0;
    while (static_cast<int>(image.size()) < kImageLength) {
        int nLeft = kImageLength - static_cast<int>(image.size());
        int nLength = nLeft - 2 >= kPayload ? kPayload : nLeft - 2;
        image.push_back(static_cast<uint8_t>(nLength >> 8));
        image.push_back(static_cast<uint8_t>(nLength & 0xFF));
        // A recognisable frame number, then noise.
        for (int i = 0; i < nLength; ++i) {
            nState ^= nState << 13;
            nState ^= nState >> 17;
            nState ^= nState << 5;
            uint8_t by = static_cast<uint8_t>(nState >> 24);
            if (i == 0)
                by = static_cast<uint8_t>(nFrame >> 8);
            else if (i == 1)
                by = static_cast<uint8_t>(nFrame & 0xFF);
            image.push_back(by);
        }
        ++nFrame;
    }
    static const char kHex[] = "0123456789ABCDEF";
    for (uint8_t by : image) {
        std::putchar(kHex[by >> 4]);
        std::putchar(kHex[by & 15]);
    }
    return 0;
}
