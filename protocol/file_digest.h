#pragma once
// File digests as the manifests write them: Base64 of the SHA-1 digest, 28 characters.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace corlinq {

inline constexpr size_t kDigestTextLength = 28;

// SHA-1 over data fed piece by piece. Move-only; owns its hash context.
class Sha1Digester {
 public:
  Sha1Digester();
  ~Sha1Digester();
  Sha1Digester(Sha1Digester&&) noexcept;
  Sha1Digester& operator=(Sha1Digester&&) noexcept;
  Sha1Digester(const Sha1Digester&) = delete;
  Sha1Digester& operator=(const Sha1Digester&) = delete;

  // False once any step failed; Finish then fails too.
  [[nodiscard]] bool Update(const void* data, size_t size);
  // Base64 of the digest of everything fed so far. Usable once.
  [[nodiscard]] bool Finish(std::string& digestText);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Digest of a file named by a UTF-8 path, read in pieces (memory does not grow with its size).
// False when the file cannot be opened or read; digestText is then unchanged.
[[nodiscard]] bool FileDigestBase64(const std::string& utf8Path, std::string& digestText);

// Digest of a byte string.
[[nodiscard]] std::string DigestBase64(std::string_view bytes);

}  // namespace corlinq
