// envelope-tool seal TEXT [--key PEM]   prints the envelope text of TEXT
// envelope-tool open HEX [--key PEM]    prints the plaintext of an envelope text
// The key is a 1024-bit RSA pair in PEM; by default keys/envelope.pem under the working
// directory, else the key file this program was built with.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "protocol/envelope.h"

namespace {

constexpr char kDefaultKey[] = "keys/envelope.pem";

int Usage() {
  std::fprintf(stderr,
               "usage: envelope-tool seal TEXT [--key PEM]\n"
               "       envelope-tool open HEX [--key PEM]\n");
  return 2;
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream content;
  content << file.rdbuf();
  text = content.str();
  return static_cast<bool>(file) || file.eof();
}

// The key named on the command line, or the default one.
bool LoadKey(const std::string& keyPath, corlinq::EnvelopeKey& key) {
  std::string path = keyPath;
  std::string pem;
  if (path.empty()) {
    path = kDefaultKey;
    if (!ReadFile(path, pem)) {
      path = CORLINQ_ENVELOPE_KEY_FILE;
    }
  }
  if (pem.empty() && !ReadFile(path, pem)) {
    std::fprintf(stderr, "envelope-tool: cannot read key file %s\n", path.c_str());
    return false;
  }
  if (!corlinq::LoadEnvelopeKeyPem(pem, key)) {
    std::fprintf(stderr, "envelope-tool: %s is not a 1024-bit RSA private key in PEM\n",
                 path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command;
  std::string operand;
  std::string keyPath;
  int operands = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--key") {
      if (i + 1 >= argc) return Usage();
      keyPath = argv[++i];
    } else if (operands == 0) {
      command = arg;
      ++operands;
    } else if (operands == 1) {
      operand = arg;
      ++operands;
    } else {
      return Usage();
    }
  }
  if (operands != 2 || (command != "seal" && command != "open")) return Usage();

  corlinq::EnvelopeKey key;
  if (!LoadKey(keyPath, key)) return 1;

  if (command == "seal") {
    std::string text;
    if (!corlinq::SealEnvelopeText(key, operand, text)) {
      std::fprintf(stderr, "envelope-tool: cannot seal the text (empty or too long)\n");
      return 1;
    }
    std::printf("%s\n", text.c_str());
    return 0;
  }
  // A trailing newline (odd length) is dropped, as the program does with server replies.
  const size_t length = operand.size() - operand.size() % 2;
  std::string plain;
  if (!corlinq::OpenEnvelopeToText(key, operand.data(), length, plain)) {
    std::fprintf(stderr,
                 "envelope-tool: cannot open the envelope (malformed, damaged, or sealed with "
                 "another key)\n");
    return 1;
  }
  std::fwrite(plain.data(), 1, plain.size(), stdout);
  std::fputc('\n', stdout);
  return 0;
}
