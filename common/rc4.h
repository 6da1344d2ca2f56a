// `Rc4Crypt`: the suite's one cipher, plain RC4 (no IV, no discarded
// keystream). Every call starts from a fresh key schedule, so enciphering
// and deciphering are the same call.
#pragma once

#include <cstdint>
#include <string>

namespace common {

// The key used when a caller passes a key length of 0 (11 bytes, no NUL).
inline constexpr char kDefaultRc4Key[] = "quorbelantx";
inline constexpr unsigned kDefaultRc4KeyLength = 11;

// Transforms the first `length` bytes of `data` in place. Only the first
// 256 key bytes take part; `keyLength` 0 (or a null key) selects the
// default key.
void Rc4Crypt(unsigned char* data, unsigned length, const unsigned char* key = nullptr,
              unsigned keyLength = 0);

// The whole string with the default key; false (string untouched) for a
// string of 4 GB or more, which one call cannot cover.
bool Rc4Crypt(std::string* data);

}  // namespace common
