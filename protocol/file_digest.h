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

// A Sha1Digester that hashes on a thread of its own once more than kInlineBytes came in, so that
// the hashing of a long download runs beside its network reads instead of between them. Update
// copies the data into one of kBuffers buffers of kBufferBytes and returns; it waits only while
// all of them are still being hashed, so memory stays flat whatever the size. Destroying it
// before Finish drops what was not hashed yet and ends the thread.
class BackgroundSha1Digester {
 public:
  static constexpr size_t kInlineBytes = 1 << 20;
  static constexpr size_t kBufferBytes = 256 * 1024;
  static constexpr size_t kBuffers = 4;

  BackgroundSha1Digester();
  ~BackgroundSha1Digester();
  BackgroundSha1Digester(const BackgroundSha1Digester&) = delete;
  BackgroundSha1Digester& operator=(const BackgroundSha1Digester&) = delete;

  // False once any step failed (here or on the hashing thread); Finish then fails too.
  [[nodiscard]] bool Update(const void* data, size_t size);
  // Waits for everything fed so far to be hashed; Base64 of the digest. Usable once.
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
