// Rc4Crypt against OpenSSL's RC4 (legacy provider) on the same 64 MB buffer,
// with the default key and a fresh key schedule per pass, as a database load
// does it.
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench/common/ratio.h"
#include "common/rc4.h"

namespace {

constexpr size_t kSize = 64u << 20;

std::vector<unsigned char>& Buffer() {
  static std::vector<unsigned char>* buffer = [] {
    auto* b = new std::vector<unsigned char>(kSize);
    std::mt19937 rng(1);
    for (auto& c : *b) c = static_cast<unsigned char>(rng());
    return b;
  }();
  return *buffer;
}

EVP_CIPHER* OpenSslRc4() {
  static EVP_CIPHER* cipher = [] {
    if (!OSSL_PROVIDER_load(nullptr, "legacy") || !OSSL_PROVIDER_load(nullptr, "default")) {
      std::fprintf(stderr, "cannot load the OpenSSL legacy provider\n");
      std::exit(1);
    }
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
    if (!c) {
      std::fprintf(stderr, "OpenSSL has no RC4\n");
      std::exit(1);
    }
    return c;
  }();
  return cipher;
}

bool OpenSslCrypt(unsigned char* data, size_t size) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int out_len = 0;
  bool ok = EVP_EncryptInit_ex2(ctx, OpenSslRc4(), nullptr, nullptr, nullptr) &&
            EVP_CIPHER_CTX_set_key_length(ctx, common::kDefaultRc4KeyLength) &&
            EVP_EncryptInit_ex2(ctx, nullptr,
                                reinterpret_cast<const unsigned char*>(common::kDefaultRc4Key),
                                nullptr, nullptr) &&
            EVP_EncryptUpdate(ctx, data, &out_len, data, static_cast<int>(size));
  EVP_CIPHER_CTX_free(ctx);
  return ok && static_cast<size_t>(out_len) == size;
}

void BM_Rc4Crypt(benchmark::State& state) {
  auto& buffer = Buffer();
  for (auto _ : state) {
    common::Rc4Crypt(buffer.data(), static_cast<unsigned>(buffer.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}
BENCHMARK(BM_Rc4Crypt)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_OpenSslRc4(benchmark::State& state) {
  auto& buffer = Buffer();
  for (auto _ : state) {
    if (!OpenSslCrypt(buffer.data(), buffer.size())) state.SkipWithError("OpenSSL RC4 failed");
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}
BENCHMARK(BM_OpenSslRc4)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  // Both must produce the same bytes, or the comparison means nothing.
  std::vector<unsigned char> a(Buffer().begin(), Buffer().begin() + 100003), b = a;
  common::Rc4Crypt(a.data(), static_cast<unsigned>(a.size()));
  if (!OpenSslCrypt(b.data(), b.size()) || a != b) {
    std::fprintf(stderr, "Rc4Crypt and OpenSSL RC4 disagree\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  vxbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("BM_Rc4Crypt", "BM_OpenSslRc4", 1.5);
  benchmark::Shutdown();
  return 0;
}
