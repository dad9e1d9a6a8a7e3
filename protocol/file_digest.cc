#include "protocol/file_digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
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

struct BackgroundSha1Digester::State {
  Sha1Digester digester;
  uint64_t inlineBytes = 0;  // hashed on the caller's thread, before the worker started
  std::thread worker;
  std::vector<char> filling;  // the caller's buffer being filled
  std::mutex mutex;
  std::condition_variable changed;  // a buffer is ready or free again, or the end is set
  std::deque<std::vector<char>> ready;  // to be hashed, in order
  std::vector<std::vector<char>> spare;
  bool end = false;
  std::atomic<bool> failed{false};

  void Work() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return !ready.empty() || end; });
      if (ready.empty()) return;
      std::vector<char> buffer = std::move(ready.front());
      ready.pop_front();
      lock.unlock();
      const bool ok = !failed && digester.Update(buffer.data(), buffer.size());
      buffer.clear();
      lock.lock();
      if (!ok) failed = true;
      spare.push_back(std::move(buffer));
      changed.notify_all();
    }
  }

  // Hands the filled buffer over and takes a spare one, waiting for one if need be.
  bool HandOver() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return !spare.empty() || failed; });
    if (failed) return false;
    ready.push_back(std::move(filling));
    filling = std::move(spare.back());
    spare.pop_back();
    changed.notify_all();
    return true;
  }

  void Start() {
    filling.reserve(kBufferBytes);
    for (size_t i = 1; i < kBuffers; ++i) {
      spare.emplace_back();
      spare.back().reserve(kBufferBytes);
    }
    worker = std::thread([this] { Work(); });
  }

  void Join(bool drop) {
    if (!worker.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (drop) ready.clear();
      end = true;
    }
    changed.notify_all();
    worker.join();
  }
};

BackgroundSha1Digester::BackgroundSha1Digester() : state_(std::make_unique<State>()) {}

BackgroundSha1Digester::~BackgroundSha1Digester() { state_->Join(/*drop=*/true); }

bool BackgroundSha1Digester::Update(const void* data, size_t size) {
  State& s = *state_;
  if (s.failed) return false;
  if (!s.worker.joinable()) {
    if (s.inlineBytes + size <= kInlineBytes) {
      s.inlineBytes += size;
      if (!s.digester.Update(data, size)) s.failed = true;
      return !s.failed;
    }
    s.Start();
  }
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const size_t piece = std::min(size, kBufferBytes - s.filling.size());
    s.filling.insert(s.filling.end(), bytes, bytes + piece);
    bytes += piece;
    size -= piece;
    if (s.filling.size() == kBufferBytes && !s.HandOver()) return false;
  }
  return !s.failed;
}

bool BackgroundSha1Digester::Finish(std::string& digestText) {
  State& s = *state_;
  if (s.worker.joinable()) {
    if (!s.filling.empty()) {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.ready.push_back(std::move(s.filling));
      s.filling.clear();
    }
    s.Join(/*drop=*/false);
  }
  if (s.failed) return false;
  return s.digester.Finish(digestText);
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
