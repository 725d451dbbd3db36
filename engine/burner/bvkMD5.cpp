#include "burner/bvkMD5.h"

#include <algorithm>
#include <cstring>

namespace torvik {

namespace {

inline uint32_t Rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

inline uint32_t LoadLE(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The four auxiliary functions of RFC 1321, 3.4 (F and G in their cheaper equivalent forms).
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

#define TORVIK_MD5_STEP(f, a, b, c, d, x, t, s) \
  a += f(b, c, d) + (x) + (t);                  \
  a = Rotl(a, s) + b;

}  // namespace

void TMD5Stream::Reset() {
  BlockCount = 0;
  BufCount = 0;
  std::memset(Buffer, 0, sizeof Buffer);
  A = 0x67452301u;
  B = 0xEFCDAB89u;
  C = 0x98BADCFEu;
  D = 0x10325476u;
}

void TMD5Stream::Transform(const uint8_t* p) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLE(p + 4 * i);
  uint32_t a = A, b = B, c = C, d = D;

  TORVIK_MD5_STEP(F, a, b, c, d, x[0], 0xd76aa478, 7)
  TORVIK_MD5_STEP(F, d, a, b, c, x[1], 0xe8c7b756, 12)
  TORVIK_MD5_STEP(F, c, d, a, b, x[2], 0x242070db, 17)
  TORVIK_MD5_STEP(F, b, c, d, a, x[3], 0xc1bdceee, 22)
  TORVIK_MD5_STEP(F, a, b, c, d, x[4], 0xf57c0faf, 7)
  TORVIK_MD5_STEP(F, d, a, b, c, x[5], 0x4787c62a, 12)
  TORVIK_MD5_STEP(F, c, d, a, b, x[6], 0xa8304613, 17)
  TORVIK_MD5_STEP(F, b, c, d, a, x[7], 0xfd469501, 22)
  TORVIK_MD5_STEP(F, a, b, c, d, x[8], 0x698098d8, 7)
  TORVIK_MD5_STEP(F, d, a, b, c, x[9], 0x8b44f7af, 12)
  TORVIK_MD5_STEP(F, c, d, a, b, x[10], 0xffff5bb1, 17)
  TORVIK_MD5_STEP(F, b, c, d, a, x[11], 0x895cd7be, 22)
  TORVIK_MD5_STEP(F, a, b, c, d, x[12], 0x6b901122, 7)
  TORVIK_MD5_STEP(F, d, a, b, c, x[13], 0xfd987193, 12)
  TORVIK_MD5_STEP(F, c, d, a, b, x[14], 0xa679438e, 17)
  TORVIK_MD5_STEP(F, b, c, d, a, x[15], 0x49b40821, 22)

  TORVIK_MD5_STEP(G, a, b, c, d, x[1], 0xf61e2562, 5)
  TORVIK_MD5_STEP(G, d, a, b, c, x[6], 0xc040b340, 9)
  TORVIK_MD5_STEP(G, c, d, a, b, x[11], 0x265e5a51, 14)
  TORVIK_MD5_STEP(G, b, c, d, a, x[0], 0xe9b6c7aa, 20)
  TORVIK_MD5_STEP(G, a, b, c, d, x[5], 0xd62f105d, 5)
  TORVIK_MD5_STEP(G, d, a, b, c, x[10], 0x02441453, 9)
  TORVIK_MD5_STEP(G, c, d, a, b, x[15], 0xd8a1e681, 14)
  TORVIK_MD5_STEP(G, b, c, d, a, x[4], 0xe7d3fbc8, 20)
  TORVIK_MD5_STEP(G, a, b, c, d, x[9], 0x21e1cde6, 5)
  TORVIK_MD5_STEP(G, d, a, b, c, x[14], 0xc33707d6, 9)
  TORVIK_MD5_STEP(G, c, d, a, b, x[3], 0xf4d50d87, 14)
  TORVIK_MD5_STEP(G, b, c, d, a, x[8], 0x455a14ed, 20)
  TORVIK_MD5_STEP(G, a, b, c, d, x[13], 0xa9e3e905, 5)
  TORVIK_MD5_STEP(G, d, a, b, c, x[2], 0xfcefa3f8, 9)
  TORVIK_MD5_STEP(G, c, d, a, b, x[7], 0x676f02d9, 14)
  TORVIK_MD5_STEP(G, b, c, d, a, x[12], 0x8d2a4c8a, 20)

  TORVIK_MD5_STEP(H, a, b, c, d, x[5], 0xfffa3942, 4)
  TORVIK_MD5_STEP(H, d, a, b, c, x[8], 0x8771f681, 11)
  TORVIK_MD5_STEP(H, c, d, a, b, x[11], 0x6d9d6122, 16)
  TORVIK_MD5_STEP(H, b, c, d, a, x[14], 0xfde5380c, 23)
  TORVIK_MD5_STEP(H, a, b, c, d, x[1], 0xa4beea44, 4)
  TORVIK_MD5_STEP(H, d, a, b, c, x[4], 0x4bdecfa9, 11)
  TORVIK_MD5_STEP(H, c, d, a, b, x[7], 0xf6bb4b60, 16)
  TORVIK_MD5_STEP(H, b, c, d, a, x[10], 0xbebfbc70, 23)
  TORVIK_MD5_STEP(H, a, b, c, d, x[13], 0x289b7ec6, 4)
  TORVIK_MD5_STEP(H, d, a, b, c, x[0], 0xeaa127fa, 11)
  TORVIK_MD5_STEP(H, c, d, a, b, x[3], 0xd4ef3085, 16)
  TORVIK_MD5_STEP(H, b, c, d, a, x[6], 0x04881d05, 23)
  TORVIK_MD5_STEP(H, a, b, c, d, x[9], 0xd9d4d039, 4)
  TORVIK_MD5_STEP(H, d, a, b, c, x[12], 0xe6db99e5, 11)
  TORVIK_MD5_STEP(H, c, d, a, b, x[15], 0x1fa27cf8, 16)
  TORVIK_MD5_STEP(H, b, c, d, a, x[2], 0xc4ac5665, 23)

  TORVIK_MD5_STEP(I, a, b, c, d, x[0], 0xf4292244, 6)
  TORVIK_MD5_STEP(I, d, a, b, c, x[7], 0x432aff97, 10)
  TORVIK_MD5_STEP(I, c, d, a, b, x[14], 0xab9423a7, 15)
  TORVIK_MD5_STEP(I, b, c, d, a, x[5], 0xfc93a039, 21)
  TORVIK_MD5_STEP(I, a, b, c, d, x[12], 0x655b59c3, 6)
  TORVIK_MD5_STEP(I, d, a, b, c, x[3], 0x8f0ccc92, 10)
  TORVIK_MD5_STEP(I, c, d, a, b, x[10], 0xffeff47d, 15)
  TORVIK_MD5_STEP(I, b, c, d, a, x[1], 0x85845dd1, 21)
  TORVIK_MD5_STEP(I, a, b, c, d, x[8], 0x6fa87e4f, 6)
  TORVIK_MD5_STEP(I, d, a, b, c, x[15], 0xfe2ce6e0, 10)
  TORVIK_MD5_STEP(I, c, d, a, b, x[6], 0xa3014314, 15)
  TORVIK_MD5_STEP(I, b, c, d, a, x[13], 0x4e0811a1, 21)
  TORVIK_MD5_STEP(I, a, b, c, d, x[4], 0xf7537e82, 6)
  TORVIK_MD5_STEP(I, d, a, b, c, x[11], 0xbd3af235, 10)
  TORVIK_MD5_STEP(I, c, d, a, b, x[2], 0x2ad7d2bb, 15)
  TORVIK_MD5_STEP(I, b, c, d, a, x[9], 0xeb86d391, 21)

  A += a;
  B += b;
  C += c;
  D += d;
}

#undef TORVIK_MD5_STEP

size_t TMD5Stream::Write(const void* Data, size_t Count) {
  const auto* p = static_cast<const uint8_t*>(Data);
  size_t left = Count;
  if (BufCount > 0) {  // complete the block started by an earlier write
    const size_t take = std::min<size_t>(left, 64 - BufCount);
    std::memcpy(Buffer + BufCount, p, take);
    BufCount += uint32_t(take);
    p += take;
    left -= take;
    if (BufCount < 64) return Count;
    Transform(Buffer);
    ++BlockCount;
    BufCount = 0;
  }
  for (; left >= 64; p += 64, left -= 64) {  // whole blocks straight from the caller's bytes
    Transform(p);
    ++BlockCount;
  }
  std::memcpy(Buffer, p, left);
  BufCount = uint32_t(left);
  return Count;
}

void TMD5Stream::Finish(uint8_t Digest[16]) {
  const uint64_t bits = uint64_t(BlockCount) * 512 + uint64_t(BufCount) * 8;
  uint8_t pad[72] = {0x80};
  // Padding to 56 bytes past a block boundary, then the length, least significant byte first.
  const size_t padding = BufCount < 56 ? 56 - BufCount : 120 - BufCount;
  Write(pad, padding);
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = uint8_t(bits >> (8 * i));
  Write(length, 8);
  const uint32_t words[4] = {A, B, C, D};
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i) Digest[4 * w + i] = uint8_t(words[w] >> (8 * i));
  Reset();
}

std::string TMD5Stream::DigestString() {
  uint8_t digest[16];
  Finish(digest);
  static const char kHex[] = "0123456789ABCDEF";
  std::string text(32, '0');
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return text;
}

std::string MD5String(const void* Data, size_t Count) {
  TMD5Stream s;
  s.Write(Data, Count);
  return s.DigestString();
}

}  // namespace torvik
