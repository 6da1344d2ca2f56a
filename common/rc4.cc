#include "common/rc4.h"

#include <bit>
#include <cstring>

namespace common {

void Rc4Crypt(unsigned char* data, unsigned length, const unsigned char* key,
              unsigned keyLength) {
  if (key == nullptr || keyLength == 0) {
    key = reinterpret_cast<const unsigned char*>(kDefaultRc4Key);
    keyLength = kDefaultRc4KeyLength;
  }
  // The state is kept in 32-bit cells: byte-sized cells make every swap a
  // partial-register store followed by a dependent load, which is the
  // bottleneck of this loop (it deciphers the definition database).
  uint32_t s[256];
  for (uint32_t i = 0; i < 256; ++i) s[i] = i;
  uint32_t j = 0;
  unsigned k = 0;
  for (uint32_t i = 0; i < 256; ++i) {
    j = (j + s[i] + key[k]) & 0xFF;
    if (++k == keyLength) k = 0;
    uint32_t t = s[i];
    s[i] = s[j];
    s[j] = t;
  }

  uint32_t x = 0, y = 0;
  auto next = [&]() -> uint32_t {
    x = (x + 1) & 0xFF;
    uint32_t sx = s[x];
    y = (y + sx) & 0xFF;
    uint32_t sy = s[y];
    s[x] = sy;
    s[y] = sx;
    return s[(sx + sy) & 0xFF];
  };

  size_t n = 0;
  // Eight keystream bytes are gathered into one word and applied at once.
  for (; length - n >= 8; n += 8) {
    uint64_t ks = 0;
    for (int b = 0; b < 8; ++b) ks |= static_cast<uint64_t>(next()) << (8 * b);
    uint64_t block;
    std::memcpy(&block, data + n, 8);
    if constexpr (std::endian::native == std::endian::little) {
      block ^= ks;
    } else {
      block ^= __builtin_bswap64(ks);
    }
    std::memcpy(data + n, &block, 8);
  }
  for (; n < length; ++n) data[n] ^= static_cast<unsigned char>(next());
}

bool Rc4Crypt(std::string* data) {
  if (data->size() > 0xFFFFFFFFu) return false;
  Rc4Crypt(reinterpret_cast<unsigned char*>(data->data()), static_cast<unsigned>(data->size()));
  return true;
}

}  // namespace common
