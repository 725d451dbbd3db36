// TMD5Stream: a write-only stream that computes the MD5 message digest (RFC 1321) of every byte
// written to it. Verification compares a disc file's digest with its source's, duplicate
// detection keeps them in the file entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace torvik {

class TMD5Stream {
 public:
  TMD5Stream() { Reset(); }

  // Feeds `Count` bytes; returns Count.
  size_t Write(const void* Buffer, size_t Count);
  // The stream cannot be read back.
  size_t Read(void*, size_t) { return 0; }
  // Finishes the digest, returns it as 32 upper-case hexadecimal characters (digest byte 0
  // first) and resets the stream for the next message.
  std::string DigestString();
  // Finishes into the 16 digest bytes and resets.
  void Finish(uint8_t Digest[16]);
  void Reset();

 private:
  void Transform(const uint8_t* Block);

  int64_t BlockCount = 0;  // 64-byte blocks transformed
  uint32_t BufCount = 0;   // bytes waiting in Buffer
  uint8_t Buffer[64] = {};
  uint32_t A = 0, B = 0, C = 0, D = 0;
};

// The digest text of a whole byte range, as TMD5Stream gives it.
std::string MD5String(const void* Data, size_t Count);

}  // namespace torvik
