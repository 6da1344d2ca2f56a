#include "common/rc4.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace common {
namespace {

std::string Hex(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string Crypt(std::string data, const std::string& key) {
  Rc4Crypt(reinterpret_cast<unsigned char*>(data.data()), static_cast<unsigned>(data.size()),
           reinterpret_cast<const unsigned char*>(key.data()), static_cast<unsigned>(key.size()));
  return data;
}

// The cipher written out step by step, as the oracle for the fast loop.
std::string ReferenceRc4(std::string data, const std::string& key) {
  unsigned char s[256], k[256];
  for (int i = 0; i < 256; ++i) {
    s[i] = static_cast<unsigned char>(i);
    k[i] = static_cast<unsigned char>(key[i % key.size()]);
  }
  int j = 0;
  for (int i = 0; i < 256; ++i) {
    j = (j + s[i] + k[i]) % 256;
    std::swap(s[i], s[j]);
  }
  int x = 0, y = 0;
  for (char& c : data) {
    x = (x + 1) % 256;
    y = (y + s[x]) % 256;
    std::swap(s[x], s[y]);
    c = static_cast<char>(c ^ s[(s[x] + s[y]) % 256]);
  }
  return data;
}

TEST(Rc4CryptTest, KnownAnswers) {
  struct Case {
    std::string key, plain, hex;
  } cases[] = {
      {"Key", "Plaintext", "bbf316e8d940af0ad3"},
      {"Secret", "Attack at dawn", "45a01f645fc35b383552544b9bf5"},
      // The default key, as a sealed two-key config file would start.
      {"quorbelantx", "a=1\nb=2\n", "f2696c4dca049aa1"},
  };
  for (const Case& c : cases) EXPECT_EQ(Hex(Crypt(c.plain, c.key)), c.hex) << c.key;
}

TEST(Rc4CryptTest, ZeroKeyLengthOrNullKeySelectsDefaultKey) {
  std::string plain = "some database bytes \x01\x02\xff";
  std::string expected = Crypt(plain, "quorbelantx");
  std::string a = plain;
  Rc4Crypt(reinterpret_cast<unsigned char*>(a.data()), static_cast<unsigned>(a.size()),
           reinterpret_cast<const unsigned char*>("ignored"), 0);
  EXPECT_EQ(a, expected);
  std::string b = plain;
  ASSERT_TRUE(Rc4Crypt(&b));
  EXPECT_EQ(b, expected);
}

TEST(Rc4CryptTest, TwiceRestoresInputAndZeroLengthChangesNothing) {
  std::string data = "0123456789abcdefXYZ";
  std::string copy = data;
  Rc4Crypt(reinterpret_cast<unsigned char*>(data.data()), 0);
  EXPECT_EQ(data, copy);
  Rc4Crypt(&data);
  EXPECT_NE(data, copy);
  Rc4Crypt(&data);
  EXPECT_EQ(data, copy);
}

TEST(Rc4CryptTest, OnlyFirst256KeyBytesTakePart) {
  std::string key(300, 'k');
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<char>(i * 7);
  std::string plain(100, 'p');
  EXPECT_EQ(Crypt(plain, key), Crypt(plain, key.substr(0, 256)));
  EXPECT_NE(Crypt(plain, key), Crypt(plain, key.substr(0, 255)));
}

TEST(Rc4CryptTest, MatchesReferenceForEveryLengthAroundTheWordLoop) {
  std::mt19937 rng(7);
  const std::string keys[] = {"x", "quorbelantx", std::string(256, '\xA5'), std::string(3, '\0')};
  for (const std::string& key : keys) {
    for (size_t length : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 255u, 256u, 257u, 4099u}) {
      std::string data(length, '\0');
      for (char& c : data) c = static_cast<char>(rng());
      EXPECT_EQ(Crypt(data, key), ReferenceRc4(data, key)) << "length " << length;
    }
  }
}

TEST(Rc4CryptTest, TransformsOnlyTheGivenPrefix) {
  std::string data = "abcdefghijklmnop";
  Rc4Crypt(reinterpret_cast<unsigned char*>(data.data()), 5);
  EXPECT_EQ(data.substr(5), "fghijklmnop");
  EXPECT_EQ(data.substr(0, 5), Crypt("abcde", "quorbelantx"));
}

}  // namespace
}  // namespace common
