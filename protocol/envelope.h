#pragma once
// The protocol envelope: every message to and from the bank's update server travels as
//   SEQUENCE { OCTET STRING rsaWrappedKey, OCTET STRING ciphertext, OCTET STRING sha1 }
// with fixed-width BER length fields, written out as uppercase hexadecimal text.
//   rsaWrappedKey: a fresh 24-byte DES-EDE3 key, RSA PKCS#1 v1.5 (block type 2), 128 bytes
//   ciphertext:    the message with 1..8 pad bytes of the pad count, DES-EDE3-CBC, IV "40617253"
//   sha1:          SHA-1 of the unpadded message, 20 bytes
// Requests are sealed with the public half of the key pair, replies opened with the private half
// of the same pair; the update server holds the same pair.
//
// Int results: 0 success, -1 failure. The size protocol: called without an output buffer (or
// with too small a capacity) a function stores the capacity it needs and returns 0 without doing
// the work; the caller tells the two apart by whether it passed a big enough buffer.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace corlinq {

// A 1024-bit RSA key pair as lowercase hexadecimal texts, most significant digit first:
// n and d 256 digits, e "010001", p, q, dp, dq, qp 128 digits each.
struct EnvelopeKey {
  std::string n, e, d, p, q, dp, dq, qp;
};

// The pair built into the program (generated at build time from the ENVELOPE_KEY PEM file,
// keys/envelope.pem by default).
const EnvelopeKey& BuiltinEnvelopeKey();

// Reads a 1024-bit RSA private key in PEM ("RSA PRIVATE KEY" or PKCS#8 "PRIVATE KEY") into out.
// False when the text is not such a key; out is then unchanged.
[[nodiscard]] bool LoadEnvelopeKeyPem(const std::string& pemText, EnvelopeKey& out);

// Envelope sizes for a message of `length` bytes.
inline constexpr size_t EnvelopeCipherLength(size_t length) { return length - length % 8 + 8; }
inline constexpr size_t EnvelopeTextLength(size_t length) {
  return 2 * (162 + EnvelopeCipherLength(length));
}

// Seals `length` bytes of data. Needs a capacity of EnvelopeTextLength(length) + 10; writes the
// text and a terminating zero and stores the text length in *inOutLength. Fails (-1) for an empty
// or absent message, a message too long for the 16-bit length fields, or a crypto failure.
[[nodiscard]] int SealEnvelope(const unsigned char* data, size_t length, char* output,
                               size_t* inOutLength);
[[nodiscard]] int SealEnvelope(const EnvelopeKey& key, const unsigned char* data, size_t length,
                               char* output, size_t* inOutLength);

// Opens an envelope text (upper- or lowercase digits). Needs a capacity of at least `length`;
// the caller passes a zero-filled buffer of capacity + 1 bytes. Stores the plaintext length in
// *inOutCapacity. Fails (-1) on any malformed, truncated, tampered or foreign envelope; the
// output buffer is then left zero-filled.
[[nodiscard]] int OpenEnvelope(const char* text, size_t length, unsigned char* output,
                               size_t* inOutCapacity);
[[nodiscard]] int OpenEnvelope(const EnvelopeKey& key, const char* text, size_t length,
                               unsigned char* output, size_t* inOutCapacity);

// Opens an envelope text and assigns the plaintext, up to its first zero byte, to result.
// False on failure, result then unchanged.
[[nodiscard]] bool OpenEnvelopeToText(const char* text, size_t length, std::string& result);
[[nodiscard]] bool OpenEnvelopeToText(const EnvelopeKey& key, const char* text, size_t length,
                                      std::string& result);

// Convenience: seal a text, giving the envelope text. False on failure.
[[nodiscard]] bool SealEnvelopeText(const EnvelopeKey& key, std::string_view message,
                                    std::string& envelopeText);
[[nodiscard]] bool SealEnvelopeText(std::string_view message, std::string& envelopeText);

// A key pair read and checked once, for a program that opens and seals many envelopes (the
// update server). Usable from any number of threads at once: each operation borrows a copy of
// the checked RSA contexts with a generator seeded once, kept for the next operation (about one
// copy per thread that uses the key), so the private-key blinding carries over from one
// operation to the next instead of being computed afresh and no generator is seeded per query.
//
// The private-key step of opening (the 128-byte RSA block to the message key, PKCS#1 v1.5 type
// 2) may be handed to another RSA implementation of the same pair: `unwrap` writes the payload
// into out (capacity outCapacity) and its length into *outLength, and returns false when the
// block does not decrypt. It is called from any thread.
using EnvelopeKeyUnwrap =
    std::function<bool(const unsigned char* block, size_t blockLength, unsigned char* out,
                       size_t outCapacity, size_t* outLength)>;

class PreparedEnvelopeKey {
 public:
  // Null when the key is not a valid 1024-bit pair.
  [[nodiscard]] static std::shared_ptr<const PreparedEnvelopeKey> Prepare(
      const EnvelopeKey& key, EnvelopeKeyUnwrap unwrap = {});
  ~PreparedEnvelopeKey();
  PreparedEnvelopeKey(const PreparedEnvelopeKey&) = delete;
  PreparedEnvelopeKey& operator=(const PreparedEnvelopeKey&) = delete;

  // As OpenEnvelopeToText and SealEnvelopeText with this key.
  [[nodiscard]] bool OpenToText(std::string_view text, std::string& result) const;
  [[nodiscard]] bool SealText(std::string_view message, std::string& envelopeText) const;

  struct Impl;

 private:
  explicit PreparedEnvelopeKey(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Fills buffer with `length` bytes from a CTR_DRBG seeded from the platform's entropy source.
// 0 on success, -1 when the generator cannot be seeded.
[[nodiscard]] int GenerateMessageKey(unsigned char* buffer, size_t length);

// Hexadecimal text of `count` bytes, two uppercase digits per byte. Size protocol with a needed
// capacity of 2 * count + 10; writes a terminating zero and stores 2 * count. Returns 0.
[[nodiscard]] int HexEncodeUpper(const unsigned char* bytes, size_t count, char* output,
                                 size_t* inOutLength);

// Bytes of a hexadecimal text of `count` characters, high nibble first. Lenient: 'a'-'f' and
// 'A'-'F' give 10-15, any other character its code minus '0'. -1 when count is odd; otherwise
// writes count / 2 bytes when output can hold them, stores count / 2 and returns 0.
[[nodiscard]] int HexDecode(const char* text, size_t count, unsigned char* output,
                            size_t* inOutLength);

}  // namespace corlinq
