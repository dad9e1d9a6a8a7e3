#include "protocol/file_digest.h"

#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace corlinq {

struct Sha1Digester::State {
  struct CtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, CtxFree> ctx{EVP_MD_CTX_new()};
  bool ok = false;
};

Sha1Digester::Sha1Digester() : state_(std::make_unique<State>()) {
  state_->ok = state_->ctx && EVP_DigestInit_ex(state_->ctx.get(), EVP_sha1(), nullptr) == 1;
}

Sha1Digester::~Sha1Digester() = default;
Sha1Digester::Sha1Digester(Sha1Digester&&) noexcept = default;
Sha1Digester& Sha1Digester::operator=(Sha1Digester&&) noexcept = default;

bool Sha1Digester::Update(const void* data, size_t size) {
  if (!state_ || !state_->ok) return false;
  if (size > 0 && EVP_DigestUpdate(state_->ctx.get(), data, size) != 1) state_->ok = false;
  return state_->ok;
}

bool Sha1Digester::Finish(std::string& digestText) {
  if (!state_ || !state_->ok) return false;
  state_->ok = false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->ctx.get(), digest, &length) != 1 || length != 20) return false;
  unsigned char text[4 * ((20 + 2) / 3) + 1];
  const int written = EVP_EncodeBlock(text, digest, static_cast<int>(length));
  if (written != static_cast<int>(kDigestTextLength)) return false;
  digestText.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(written));
  return true;
}

bool FileDigestBase64(const std::string& utf8Path, std::string& digestText) {
  std::ifstream in(std::filesystem::u8path(utf8Path), std::ios::binary);
  if (!in) return false;
  Sha1Digester digester;
  std::vector<char> buffer(64 * 1024);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::streamsize got = in.gcount();
    if (got > 0 && !digester.Update(buffer.data(), static_cast<size_t>(got))) return false;
  }
  if (in.bad() || !in.eof()) return false;
  return digester.Finish(digestText);
}

std::string DigestBase64(std::string_view bytes) {
  Sha1Digester digester;
  std::string text;
  if (!digester.Update(bytes.data(), bytes.size()) || !digester.Finish(text)) return {};
  return text;
}

}  // namespace corlinq
