// Writes a firmware image as upper-case hex text on standard output.
// Without arguments: the stand-in image packaged with the program, 103,888
// bytes of frames laid back to back (first header 0x02 0x12, so L = 530),
// 207,776 characters. With a number N: another image of exactly N frames
// whose payloads vary in length (for building and testing a release with an
// image other than the stand-in). Deterministic: the same bytes every run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    const int kImageLength = 103888;
    const int kPayload = 530;
    int nFrames = 0; // 0: the stand-in, sized by its length
    if (argc > 1) {
        nFrames = std::atoi(argv[1]);
        if (argc > 2 || nFrames < 1 || nFrames > 500) {
            std::fputs("usage: make_image [FRAMES (1..500)]\n", stderr);
            return 2;
        }
    }
    std::vector<uint8_t> image;
    image.reserve(kImageLength);
    uint32_t nState = 0x2C9A47E1u; // xorshift32 seed
    int nFrame = 0;
    while (nFrames ? nFrame < nFrames : static_cast<int>(image.size()) < kImageLength) {
        int nLeft = kImageLength - static_cast<int>(image.size());
        int nLength = nLeft - 2 >= kPayload ? kPayload : nLeft - 2;
        if (nFrames)
            nLength = 2 + (nFrame * 197) % 1000; // 2 to 1001 bytes, never a CR LF start
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
