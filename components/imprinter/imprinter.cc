#include "components/imprinter/imprinter.h"

#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <memory>

#include "platform/error.h"
#include "platform/file.h"

namespace {

constexpr uint32_t kReadChunk = 64 * 1024;
constexpr int kErrorInvalidParameter = 87;
constexpr int kErrorReadFault = 30;

struct DigestDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

extern "C" int CreateSignature(const char* path, int, char* signature) {
  if (signature == nullptr) return kErrorInvalidParameter;
  signature[0] = '\0';
  if (path == nullptr) return kErrorInvalidParameter;
  platform::File file;
  if (!file.Open(path, platform::kGenericRead, platform::kShareRead | platform::kShareWrite,
                 platform::kOpenExisting))
    return static_cast<int>(platform::GetLastError());
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return kErrorReadFault;
  auto buffer = std::make_unique<unsigned char[]>(kReadChunk);
  for (;;) {
    uint32_t got = 0;
    if (!file.Read(buffer.get(), kReadChunk, &got)) return static_cast<int>(platform::GetLastError());
    if (got == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buffer.get(), got) != 1) return kErrorReadFault;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) return kErrorReadFault;
  for (unsigned int i = 0; i < size; ++i) std::snprintf(signature + 2 * i, 3, "%02x", digest[i]);
  return 0;
}
