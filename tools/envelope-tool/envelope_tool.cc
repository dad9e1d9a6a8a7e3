// envelope-tool seal TEXT [--key PEM]   prints the envelope text of TEXT
// envelope-tool open HEX [--key PEM]    prints the plaintext of an envelope text
// The key is a 1024-bit RSA pair in PEM: the file given with --key, else the key file this
// program was built with (ENVELOPE_KEY of the build). Never a file of the working folder.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "protocol/envelope.h"

#ifndef CORLINQ_TOOLS_VERSION
#define CORLINQ_TOOLS_VERSION "dev"
#endif

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char kHelp[] =
    "envelope-tool: seals and opens the envelope texts of the version query\n"
    "\n"
    "  envelope-tool seal TEXT [--key PEM]\n"
    "      Prints the envelope text (upper-case hexadecimal) of TEXT.\n"
    "  envelope-tool open HEX [--key PEM]\n"
    "      Prints the plaintext of an envelope text (either letter case; a trailing newline is\n"
    "      dropped).\n"
    "\n"
    "  --key PEM   the 1024-bit RSA key pair; without it, the key this build was configured\n"
    "              with (" CORLINQ_ENVELOPE_KEY_FILE ")\n"
    "  --help, --version\n"
    "\n"
    "Options may come before or after the operands, as --key PEM or --key=PEM.\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "envelope-tool: %s\n", message.c_str());
  return kFailed;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "envelope-tool: %s (see envelope-tool --help)\n", message.c_str());
  return kUsage;
}

[[nodiscard]] bool ReadFile(const std::string& path, std::string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read the key file " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    error = "cannot read the key file " + path + ": " + std::strerror(EISDIR);
    return false;
  }
  text.clear();
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = "cannot read the key file " + path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

[[nodiscard]] bool LoadKey(const std::string& path, corlinq::EnvelopeKey& key,
                           std::string& error) {
  std::string pem;
  if (!ReadFile(path, pem, error)) return false;
  if (!corlinq::LoadEnvelopeKeyPem(pem, key)) {
    error = path + " is not a 1024-bit RSA private key in PEM";
    return false;
  }
  return true;
}

int Run(int argc, char** argv) {
  static const option kOptions[] = {
      {"key", required_argument, nullptr, 'k'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  std::string keyPath;
  bool keyGiven = false;
  bool help = false;
  bool version = false;
  for (;;) {
    const int c = getopt_long(argc, argv, ":hV", kOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'k':
        if (keyGiven) return UsageError("--key is given twice");
        keyGiven = true;
        keyPath = optarg;
        break;
      case 'h': help = true; break;
      case 'V': version = true; break;
      case ':': return UsageError(std::string("the option ") + argv[optind - 1] + " wants a value");
      default: {
        const std::string bad = optopt ? std::string("-") + static_cast<char>(optopt)
                                       : std::string(argv[optind - 1]);
        return UsageError("unknown option " + bad);
      }
    }
  }
  if (version) {
    std::printf("envelope-tool %s\n", CORLINQ_TOOLS_VERSION);
    return 0;
  }
  if (help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  const std::vector<std::string> operands(argv + optind, argv + argc);
  if (operands.empty()) return UsageError("no command given");
  const std::string& command = operands[0];
  if (command != "seal" && command != "open") {
    return UsageError("unknown command \"" + command + "\"");
  }
  if (operands.size() != 2) {
    return UsageError(command + (command == "seal" ? " wants one TEXT" : " wants one HEX") +
                      (operands.size() > 2 ? " (\"" + operands[2] + "\" is one too many)" : ""));
  }
  const std::string& operand = operands[1];
  if (keyPath.empty() && keyGiven) return UsageError("--key wants a file name");
  if (!keyGiven) keyPath = CORLINQ_ENVELOPE_KEY_FILE;

  corlinq::EnvelopeKey key;
  std::string error;
  if (!LoadKey(keyPath, key, error)) return Fail(error);

  if (command == "seal") {
    std::string text;
    if (!corlinq::SealEnvelopeText(key, operand, text)) {
      return Fail("cannot seal the text (empty or too long)");
    }
    std::printf("%s\n", text.c_str());
    return 0;
  }
  // A trailing newline (odd length) is dropped, as the program does with server replies.
  const size_t length = operand.size() - operand.size() % 2;
  std::string plain;
  if (!corlinq::OpenEnvelopeToText(key, operand.data(), length, plain)) {
    return Fail("cannot open the envelope with " + keyPath +
                " (malformed, damaged, or sealed with another key)");
  }
  std::fwrite(plain.data(), 1, plain.size(), stdout);
  std::fputc('\n', stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    return Fail(std::string("internal error: ") + e.what());
  } catch (...) {
    return Fail("internal error");
  }
}
