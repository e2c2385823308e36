// SHA-256 (FIPS 180-4) and the Authenticode digest of a PE image, by which the kit knows the tool
// it was built with, signed or not.
#include <cstdint>

#include "kit.h"

namespace {

constexpr std::uint32_t kRounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01,
    0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc,
    0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08,
    0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t Rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

struct Sha256State {
  std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char block[64] = {};
  std::size_t used = 0;
  std::uint64_t length = 0;

  void Compress() {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      w[i] = static_cast<std::uint32_t>(block[4 * i]) << 24 | static_cast<std::uint32_t>(block[4 * i + 1]) << 16 |
             static_cast<std::uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t v[8];
    for (int i = 0; i < 8; ++i) v[i] = h[i];
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t t1 = v[7] + (Rotate(v[4], 6) ^ Rotate(v[4], 11) ^ Rotate(v[4], 25)) +
                               ((v[4] & v[5]) ^ (~v[4] & v[6])) + kRounds[i] + w[i];
      const std::uint32_t t2 = (Rotate(v[0], 2) ^ Rotate(v[0], 13) ^ Rotate(v[0], 22)) +
                               ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
      for (int j = 7; j > 0; --j) v[j] = v[j - 1];
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i) h[i] += v[i];
  }

  void Add(const char* data, std::size_t size) {
    length += size;
    for (std::size_t i = 0; i < size; ++i) {
      block[used++] = static_cast<unsigned char>(data[i]);
      if (used == 64) {
        Compress();
        used = 0;
      }
    }
  }

  std::string Finish() {
    const std::uint64_t bits = length * 8;
    const char one = static_cast<char>(0x80), zero = 0;
    Add(&one, 1);
    while (used != 56) Add(&zero, 1);
    for (int shift = 56; shift >= 0; shift -= 8) {
      const char byte = static_cast<char>(bits >> shift);
      Add(&byte, 1);
    }
    std::string digest;
    for (const std::uint32_t word : h) {
      for (int shift = 24; shift >= 0; shift -= 8) digest += static_cast<char>(word >> shift);
    }
    return digest;
  }
};

std::uint32_t Read32(const std::string& image, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(image[at + static_cast<std::size_t>(i)]);
  return value;
}

}  // namespace

std::string Sha256(const std::string& bytes) {
  Sha256State state;
  state.Add(bytes.data(), bytes.size());
  return state.Finish();
}

std::string HexOf(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return hex;
}

// As Microsoft's Authenticode PE format has it: every byte of the image but its checksum, its
// certificate table's entry in the data directories and that table (a signature) at its end.
std::string AuthenticodeDigest(const std::string& image) {
  if (image.size() < 64 || image.compare(0, 2, "MZ") != 0) return std::string();
  const std::size_t header = Read32(image, 0x3C);
  if (header > image.size() || image.size() - header < 24 + 2 || image.compare(header, 4, std::string("PE\0\0", 4)) != 0) {
    return std::string();
  }
  const std::size_t optional = header + 24;
  const unsigned magic = static_cast<unsigned char>(image[optional]) | static_cast<unsigned char>(image[optional + 1]) << 8;
  if (magic != 0x10B && magic != 0x20B) return std::string();
  const std::size_t checksum = optional + 64;
  const std::size_t entry = optional + (magic == 0x10B ? 96 : 112) + 4 * 8;  // the fifth data directory
  if (image.size() < entry + 8) return std::string();
  std::size_t table = Read32(image, entry), tableSize = Read32(image, entry + 4);
  if (tableSize == 0) {
    table = image.size();
  } else if (table < entry + 8 || table > image.size() || image.size() - table != tableSize) {
    return std::string();  // a signature is the image's last part, after its headers and sections
  }
  Sha256State state;
  state.Add(image.data(), checksum);
  state.Add(image.data() + checksum + 4, entry - checksum - 4);
  state.Add(image.data() + entry + 8, table - entry - 8);
  return state.Finish();
}
