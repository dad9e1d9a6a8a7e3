// Sealing and opening of the protocol envelope (layout in envelope.h).
#include "protocol/envelope.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <cstring>
#include <vector>

#include <mbedtls/bignum.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/des.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha1.h>

#include "protocol/envelope_key_data.h"

namespace corlinq {
namespace {

constexpr size_t kModulusBytes = 128;   // 1024-bit key pair
constexpr size_t kMessageKeyBytes = 24;  // DES-EDE3: three 8-byte keys
constexpr size_t kDigestBytes = 20;      // SHA-1
constexpr size_t kEnvelopeOverhead = 162;
constexpr unsigned char kEnvelopeIv[8] = {'4', '0', '6', '1', '7', '2', '5', '3'};

// A secret buffer wiped when it goes out of scope.
template <size_t N>
struct SecretBytes {
  unsigned char bytes[N] = {};
  SecretBytes() = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { mbedtls_platform_zeroize(bytes, N); }
};

// CTR_DRBG seeded from the platform's entropy source; one per call.
class Drbg {
 public:
  Drbg() {
    mbedtls_entropy_init(&entropy_);
    mbedtls_ctr_drbg_init(&drbg_);
    static constexpr unsigned char kPersonal[] = "corlinq envelope";
    seeded_ = mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, kPersonal,
                                    sizeof kPersonal - 1) == 0;
  }
  Drbg(const Drbg&) = delete;
  Drbg& operator=(const Drbg&) = delete;
  ~Drbg() {
    mbedtls_ctr_drbg_free(&drbg_);
    mbedtls_entropy_free(&entropy_);
  }
  [[nodiscard]] bool seeded() const { return seeded_; }
  [[nodiscard]] bool Fill(unsigned char* buffer, size_t length) {
    // The generator hands out at most MBEDTLS_CTR_DRBG_MAX_REQUEST bytes per call.
    while (length > 0) {
      const size_t piece = std::min<size_t>(length, MBEDTLS_CTR_DRBG_MAX_REQUEST);
      if (mbedtls_ctr_drbg_random(&drbg_, buffer, piece) != 0) return false;
      buffer += piece;
      length -= piece;
    }
    return true;
  }
  mbedtls_ctr_drbg_context* context() { return &drbg_; }

 private:
  mbedtls_entropy_context entropy_;
  mbedtls_ctr_drbg_context drbg_;
  bool seeded_ = false;
};

class RsaContext {
 public:
  RsaContext() { mbedtls_rsa_init(&rsa_, MBEDTLS_RSA_PKCS_V15, 0); }
  RsaContext(const RsaContext&) = delete;
  RsaContext& operator=(const RsaContext&) = delete;
  ~RsaContext() { mbedtls_rsa_free(&rsa_); }
  mbedtls_rsa_context* get() { return &rsa_; }
  const mbedtls_rsa_context* get() const { return &rsa_; }

  // Loads N and E, or all eight components; requires a 128-byte modulus and a key that passes
  // the library's public or private key check.
  [[nodiscard]] bool Load(const EnvelopeKey& key, bool withPrivate) {
    if (mbedtls_mpi_read_string(&rsa_.N, 16, key.n.c_str()) != 0 ||
        mbedtls_mpi_read_string(&rsa_.E, 16, key.e.c_str()) != 0) {
      return false;
    }
    if (withPrivate &&
        (mbedtls_mpi_read_string(&rsa_.D, 16, key.d.c_str()) != 0 ||
         mbedtls_mpi_read_string(&rsa_.P, 16, key.p.c_str()) != 0 ||
         mbedtls_mpi_read_string(&rsa_.Q, 16, key.q.c_str()) != 0 ||
         mbedtls_mpi_read_string(&rsa_.DP, 16, key.dp.c_str()) != 0 ||
         mbedtls_mpi_read_string(&rsa_.DQ, 16, key.dq.c_str()) != 0 ||
         mbedtls_mpi_read_string(&rsa_.QP, 16, key.qp.c_str()) != 0)) {
      return false;
    }
    rsa_.len = mbedtls_mpi_size(&rsa_.N);
    if (rsa_.len != kModulusBytes) return false;
    return withPrivate ? mbedtls_rsa_check_privkey(&rsa_) == 0
                       : mbedtls_rsa_check_pubkey(&rsa_) == 0;
  }

 private:
  mbedtls_rsa_context rsa_;
};

class Des3Context {
 public:
  Des3Context() { mbedtls_des3_init(&des_); }
  Des3Context(const Des3Context&) = delete;
  Des3Context& operator=(const Des3Context&) = delete;
  ~Des3Context() { mbedtls_des3_free(&des_); }
  mbedtls_des3_context* get() { return &des_; }

 private:
  mbedtls_des3_context des_;
};

void PutBigEndian16(unsigned char* at, size_t value) {
  at[0] = static_cast<unsigned char>((value >> 8) & 0xFF);
  at[1] = static_cast<unsigned char>(value & 0xFF);
}

// The opening proper, into output (capacity at least the decoded length), with a loaded
// private-key context and a seeded generator for the blinding. Returns the plaintext
// length, or -1.
long OpenDecoded(mbedtls_rsa_context* rsa, Drbg& drbg, const EnvelopeKeyUnwrap* unwrap,
                 const unsigned char* b, size_t length, unsigned char* output) {
  // Fields at fixed positions; tag and length-form bytes are not examined.
  if (length < 7) return -1;
  const size_t keyLength = b[6];
  if (keyLength != kModulusBytes) return -1;  // RSA always consumes one modulus length
  const unsigned char* keyField = b + 7;
  if (length < keyLength + 11) return -1;
  const size_t cipherLength = size_t{b[keyLength + 9]} * 256 + b[keyLength + 10];
  const unsigned char* cipherField = b + keyLength + 11;
  if (length < keyLength + cipherLength + 14) return -1;
  const size_t digestLength = b[keyLength + cipherLength + 13];
  const unsigned char* digestField = b + keyLength + cipherLength + 14;
  if (length < keyLength + cipherLength + 14 + digestLength) return -1;
  if (cipherLength % 8 != 0 || digestLength != kDigestBytes) return -1;

  SecretBytes<kMessageKeyBytes> messageKey;
  size_t messageKeyLength = 0;
  if (unwrap != nullptr && *unwrap) {
    if (!(*unwrap)(keyField, keyLength, messageKey.bytes, kMessageKeyBytes, &messageKeyLength) ||
        messageKeyLength > kMessageKeyBytes) {
      return -1;
    }
  } else if (mbedtls_rsa_pkcs1_decrypt(rsa, mbedtls_ctr_drbg_random, drbg.context(),
                                       MBEDTLS_RSA_PRIVATE, &messageKeyLength, keyField,
                                       messageKey.bytes, kMessageKeyBytes) != 0) {
    return -1;
  }

  Des3Context des;
  unsigned char iv[8];
  std::memcpy(iv, kEnvelopeIv, sizeof iv);
  if (mbedtls_des3_set3key_dec(des.get(), messageKey.bytes) != 0 ||
      mbedtls_des3_crypt_cbc(des.get(), MBEDTLS_DES_DECRYPT, cipherLength, iv, cipherField,
                             output) != 0) {
    return -1;
  }

  // The plaintext ends at the first zero byte; a final value v of 1..8 is the pad count.
  size_t working = static_cast<size_t>(
      std::find(output, output + cipherLength, 0) - output);
  if (working > 0) {
    const size_t pad = output[working - 1];
    if (pad >= 1 && pad <= 8) {
      if (pad > working) return -1;
      std::memset(output + working - pad, 0, pad);
      working -= pad;
    }
  }
  unsigned char digest[kDigestBytes];
  if (mbedtls_sha1_ret(output, working, digest) != 0) return -1;
  if (std::memcmp(digest, digestField, kDigestBytes) != 0) return -1;
  return static_cast<long>(working);
}

}  // namespace

const EnvelopeKey& BuiltinEnvelopeKey() {
  namespace k = envelope_key_data;
  static const EnvelopeKey key{k::kN, k::kE, k::kD, k::kP, k::kQ, k::kDP, k::kDQ, k::kQP};
  return key;
}

bool LoadEnvelopeKeyPem(const std::string& pemText, EnvelopeKey& out) {
  mbedtls_pk_context pk;
  mbedtls_pk_init(&pk);
  mbedtls_mpi parts[8];
  for (auto& part : parts) mbedtls_mpi_init(&part);
  // PEM input is read up to and including its terminating zero.
  bool ok = mbedtls_pk_parse_key(&pk, reinterpret_cast<const unsigned char*>(pemText.c_str()),
                                 pemText.size() + 1, nullptr, 0) == 0 &&
            mbedtls_pk_get_type(&pk) == MBEDTLS_PK_RSA;
  EnvelopeKey key;
  if (ok) {
    mbedtls_rsa_context* rsa = mbedtls_pk_rsa(pk);
    enum { N, E, D, P, Q, DP, DQ, QP };
    ok = mbedtls_rsa_get_len(rsa) == kModulusBytes &&
         mbedtls_rsa_export(rsa, &parts[N], &parts[P], &parts[Q], &parts[D], &parts[E]) == 0 &&
         mbedtls_rsa_export_crt(rsa, &parts[DP], &parts[DQ], &parts[QP]) == 0;
    const size_t widths[8] = {256, 6, 256, 128, 128, 128, 128, 128};
    std::string* fields[8] = {&key.n, &key.e, &key.d, &key.p, &key.q, &key.dp, &key.dq, &key.qp};
    for (int i = 0; ok && i < 8; ++i) {
      char buffer[600];
      size_t written = 0;
      ok = mbedtls_mpi_write_string(&parts[i], 16, buffer, sizeof buffer, &written) == 0;
      if (!ok) break;
      std::string digits(buffer);
      digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
      for (char& ch : digits) ch = static_cast<char>(ch >= 'A' && ch <= 'F' ? ch - 'A' + 'a' : ch);
      ok = digits.size() <= widths[i];
      if (ok) *fields[i] = std::string(widths[i] - digits.size(), '0') + digits;
      mbedtls_platform_zeroize(buffer, sizeof buffer);
    }
    ok = ok && key.e == "010001";
  }
  for (auto& part : parts) mbedtls_mpi_free(&part);
  mbedtls_pk_free(&pk);
  if (ok) out = std::move(key);
  return ok;
}

int GenerateMessageKey(unsigned char* buffer, size_t length) {
  Drbg drbg;
  return drbg.seeded() && drbg.Fill(buffer, length) ? 0 : -1;
}

// Both directions through one set of per-call contexts; see PreparedEnvelopeKey for the
// long-lived variant.
namespace {

// Sealing with a loaded public-key context and a seeded generator (size protocol as
// SealEnvelope).
int SealWith(mbedtls_rsa_context* rsa, Drbg& drbg, const unsigned char* data, size_t length,
             char* output, size_t* inOutLength) {
  if (data == nullptr || length == 0 || inOutLength == nullptr) return -1;
  const size_t cipherLength = EnvelopeCipherLength(length);
  if (cipherLength + 158 > 0xFFFF) return -1;  // the lengths are 16-bit fields
  const size_t needed = EnvelopeTextLength(length) + 10;
  if (output == nullptr || *inOutLength < needed) {
    *inOutLength = needed;
    return 0;
  }

  // One generator for the message key and the PKCS#1 filler.
  SecretBytes<kMessageKeyBytes> messageKey;
  if (!drbg.seeded() || !drbg.Fill(messageKey.bytes, kMessageKeyBytes)) return -1;

  std::vector<unsigned char> envelope(kEnvelopeOverhead + cipherLength);
  unsigned char* b = envelope.data();
  b[0] = 0x30;
  b[1] = 0x82;
  PutBigEndian16(b + 2, cipherLength + 158);
  b[4] = 0x04;
  b[5] = 0x81;
  b[6] = static_cast<unsigned char>(kModulusBytes);
  {
    // The PKCS#1 filler asks the generator for one byte at a time (about a hundred calls, each
    // a full generator step); it is served from one draw of the generator instead.
    struct Filler {
      Drbg* drbg = nullptr;
      SecretBytes<2 * kModulusBytes> bytes;
      size_t used = sizeof bytes.bytes;
      static int Random(void* self, unsigned char* out, size_t length) {
        auto& f = *static_cast<Filler*>(self);
        while (length > 0) {
          if (f.used == sizeof f.bytes.bytes) {
            if (!f.drbg->Fill(f.bytes.bytes, sizeof f.bytes.bytes)) return -1;
            f.used = 0;
          }
          const size_t piece = std::min(length, sizeof f.bytes.bytes - f.used);
          std::memcpy(out, f.bytes.bytes + f.used, piece);
          mbedtls_platform_zeroize(f.bytes.bytes + f.used, piece);
          f.used += piece;
          out += piece;
          length -= piece;
        }
        return 0;
      }
    } filler;
    filler.drbg = &drbg;
    if (mbedtls_rsa_pkcs1_encrypt(rsa, &Filler::Random, &filler, MBEDTLS_RSA_PUBLIC,
                                  kMessageKeyBytes, messageKey.bytes, b + 7) != 0) {
      return -1;
    }
  }
  b[135] = 0x04;
  b[136] = 0x82;
  PutBigEndian16(b + 137, cipherLength);
  {
    // Message and pad bytes, each of the pad count (a whole block of 8 when none is needed).
    std::vector<unsigned char> padded(cipherLength);
    std::memcpy(padded.data(), data, length);
    const size_t pad = cipherLength - length;
    std::memset(padded.data() + length, static_cast<int>(pad), pad);
    Des3Context des;
    unsigned char iv[8];
    std::memcpy(iv, kEnvelopeIv, sizeof iv);
    const int result =
        mbedtls_des3_set3key_enc(des.get(), messageKey.bytes) == 0 &&
                mbedtls_des3_crypt_cbc(des.get(), MBEDTLS_DES_ENCRYPT, cipherLength, iv,
                                       padded.data(), b + 139) == 0
            ? 0
            : -1;
    mbedtls_platform_zeroize(padded.data(), padded.size());
    if (result != 0) return -1;
  }
  b[139 + cipherLength] = 0x04;
  b[140 + cipherLength] = 0x81;
  b[141 + cipherLength] = static_cast<unsigned char>(kDigestBytes);
  if (mbedtls_sha1_ret(data, length, b + 142 + cipherLength) != 0) return -1;

  size_t textLength = *inOutLength;
  if (HexEncodeUpper(envelope.data(), envelope.size(), output, &textLength) != 0 ||
      textLength != EnvelopeTextLength(length)) {
    return -1;
  }
  *inOutLength = textLength;
  return 0;
}

// Opening with a loaded private-key context and a seeded generator (size protocol as
// OpenEnvelope).
int OpenWith(mbedtls_rsa_context* rsa, Drbg& drbg, const EnvelopeKeyUnwrap* unwrap,
             const char* text, size_t length, unsigned char* output, size_t* inOutCapacity) {
  if (inOutCapacity == nullptr || (text == nullptr && length != 0)) return -1;
  if (output == nullptr || *inOutCapacity < length) {
    *inOutCapacity = length;
    return 0;
  }
  size_t decodedLength = 0;
  if (HexDecode(text, length, nullptr, &decodedLength) != 0) return -1;
  std::vector<unsigned char> decoded(decodedLength);
  if (HexDecode(text, length, decoded.data(), &decodedLength) != 0) return -1;
  const long plainLength = OpenDecoded(rsa, drbg, unwrap, decoded.data(), decoded.size(), output);
  if (plainLength < 0) {
    // Leave no decrypted bytes of a rejected envelope behind.
    mbedtls_platform_zeroize(output, std::min(*inOutCapacity, decoded.size()));
    return -1;
  }
  *inOutCapacity = static_cast<size_t>(plainLength);
  return 0;
}

}  // namespace

int SealEnvelope(const unsigned char* data, size_t length, char* output, size_t* inOutLength) {
  return SealEnvelope(BuiltinEnvelopeKey(), data, length, output, inOutLength);
}

int SealEnvelope(const EnvelopeKey& key, const unsigned char* data, size_t length, char* output,
                 size_t* inOutLength) {
  if (data == nullptr || length == 0 || inOutLength == nullptr) return -1;
  if (EnvelopeCipherLength(length) + 158 > 0xFFFF) return -1;  // the lengths are 16-bit fields
  if (output == nullptr || *inOutLength < EnvelopeTextLength(length) + 10) {
    *inOutLength = EnvelopeTextLength(length) + 10;
    return 0;
  }
  RsaContext rsa;
  if (!rsa.Load(key, /*withPrivate=*/false)) return -1;
  Drbg drbg;
  return SealWith(rsa.get(), drbg, data, length, output, inOutLength);
}

int OpenEnvelope(const char* text, size_t length, unsigned char* output, size_t* inOutCapacity) {
  return OpenEnvelope(BuiltinEnvelopeKey(), text, length, output, inOutCapacity);
}

int OpenEnvelope(const EnvelopeKey& key, const char* text, size_t length, unsigned char* output,
                 size_t* inOutCapacity) {
  if (inOutCapacity == nullptr || (text == nullptr && length != 0)) return -1;
  if (output == nullptr || *inOutCapacity < length) {
    *inOutCapacity = length;
    return 0;
  }
  RsaContext rsa;
  if (!rsa.Load(key, /*withPrivate=*/true)) return -1;
  Drbg drbg;  // blinding of the private-key operation
  if (!drbg.seeded()) return -1;
  return OpenWith(rsa.get(), drbg, nullptr, text, length, output, inOutCapacity);
}

bool OpenEnvelopeToText(const char* text, size_t length, std::string& result) {
  return OpenEnvelopeToText(BuiltinEnvelopeKey(), text, length, result);
}

bool OpenEnvelopeToText(const EnvelopeKey& key, const char* text, size_t length,
                        std::string& result) {
  size_t capacity = 0;
  if (OpenEnvelope(key, text, length, nullptr, &capacity) != 0) return false;
  std::vector<unsigned char> buffer(capacity + 1, 0);
  if (OpenEnvelope(key, text, length, buffer.data(), &capacity) != 0) return false;
  const auto end = std::find(buffer.begin(), buffer.end(), 0);
  result.assign(buffer.begin(), end);
  return true;
}

bool SealEnvelopeText(const EnvelopeKey& key, std::string_view message,
                      std::string& envelopeText) {
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  size_t needed = 0;
  if (SealEnvelope(key, data, message.size(), nullptr, &needed) != 0) return false;
  std::vector<char> buffer(needed + 1, 0);
  size_t length = needed;
  if (SealEnvelope(key, data, message.size(), buffer.data(), &length) != 0) return false;
  envelopeText.assign(buffer.data(), length);
  return true;
}

bool SealEnvelopeText(std::string_view message, std::string& envelopeText) {
  return SealEnvelopeText(BuiltinEnvelopeKey(), message, envelopeText);
}

namespace {

// What one operation with a prepared key works with: copies of the checked contexts (whose
// blinding values live on from one operation to the next) and a generator seeded once.
struct KeyState {
  RsaContext publicKey;
  RsaContext privateKey;
  Drbg drbg;
};

}  // namespace

// The checked contexts, and the states made from them. A state serves one operation at a time;
// there are as many as operations have run at once (about one per thread that uses the key).
struct PreparedEnvelopeKey::Impl {
  EnvelopeKeyUnwrap unwrap;  // empty: the private-key context below
  RsaContext publicKey;
  RsaContext privateKey;
  std::mutex mutex;
  std::vector<std::unique_ptr<KeyState>> idle;

  // A state for one operation, given back by the lease's end.
  class Lease {
   public:
    explicit Lease(Impl& impl) : impl_(impl) {
      {
        std::lock_guard<std::mutex> lock(impl_.mutex);
        if (!impl_.idle.empty()) {
          state_ = std::move(impl_.idle.back());
          impl_.idle.pop_back();
          return;
        }
      }
      auto state = std::make_unique<KeyState>();
      if (state->drbg.seeded() &&
          mbedtls_rsa_copy(state->publicKey.get(), impl_.publicKey.get()) == 0 &&
          mbedtls_rsa_copy(state->privateKey.get(), impl_.privateKey.get()) == 0) {
        state_ = std::move(state);
      }
    }
    ~Lease() {
      if (!state_) return;
      std::lock_guard<std::mutex> lock(impl_.mutex);
      impl_.idle.push_back(std::move(state_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    KeyState* get() const { return state_.get(); }

   private:
    Impl& impl_;
    std::unique_ptr<KeyState> state_;
  };
};

PreparedEnvelopeKey::PreparedEnvelopeKey(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PreparedEnvelopeKey::~PreparedEnvelopeKey() = default;

std::shared_ptr<const PreparedEnvelopeKey> PreparedEnvelopeKey::Prepare(const EnvelopeKey& key,
                                                                       EnvelopeKeyUnwrap unwrap) {
  auto impl = std::make_unique<Impl>();
  impl->unwrap = std::move(unwrap);
  if (!impl->publicKey.Load(key, /*withPrivate=*/false) ||
      !impl->privateKey.Load(key, /*withPrivate=*/true)) {
    return nullptr;
  }
  return std::shared_ptr<const PreparedEnvelopeKey>(new PreparedEnvelopeKey(std::move(impl)));
}

bool PreparedEnvelopeKey::OpenToText(std::string_view text, std::string& result) const {
  Impl::Lease lease(*impl_);
  KeyState* state = lease.get();
  if (state == nullptr) return false;
  std::vector<unsigned char> buffer(text.size() + 1, 0);
  size_t capacity = text.size();
  if (OpenWith(state->privateKey.get(), state->drbg, &impl_->unwrap, text.data(), text.size(),
               buffer.data(), &capacity) != 0) {
    return false;
  }
  const auto end = std::find(buffer.begin(), buffer.end(), 0);
  result.assign(buffer.begin(), end);
  return true;
}

bool PreparedEnvelopeKey::SealText(std::string_view message, std::string& envelopeText) const {
  if (message.empty()) return false;
  Impl::Lease lease(*impl_);
  KeyState* state = lease.get();
  if (state == nullptr) return false;
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  std::vector<char> buffer(EnvelopeTextLength(message.size()) + 11, 0);
  size_t length = buffer.size() - 1;
  if (SealWith(state->publicKey.get(), state->drbg, data, message.size(), buffer.data(),
               &length) != 0) {
    return false;
  }
  envelopeText.assign(buffer.data(), length);
  return true;
}

}  // namespace corlinq
