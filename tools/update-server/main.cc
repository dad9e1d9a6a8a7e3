// update-server --config FILE [--ready-file FILE]
//
// The bank's reference update server, in the foreground. Prints one line per listener
// ("listening https 127.0.0.1:8443") and then "ready" on stdout once every listener accepts
// connections, then one line per request. SIGTERM or SIGINT stops it cleanly (exit 0).
// Exit 1: the configuration or a listener cannot be set up; exit 2: wrong command line.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "base/strings.h"
#include "protocol/envelope.h"
#include "tools/update-server/update_server.h"
#include "tools/update-server/update_server_config.h"

namespace {

constexpr const char kUsage[] =
    "usage: update-server --config FILE [--ready-file FILE]\n"
    "  --config FILE      JSON configuration (listeners, certificate, envelope key, banks)\n"
    "  --ready-file FILE  once listening, write the bound listeners there, one per line\n"
    "                     (\"https 127.0.0.1:8443\"); written whole under a temporary name first\n";

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  text = out.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string configPath;
  std::string readyFile;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--config" || arg == "--ready-file") && i + 1 < argc) {
      (arg == "--config" ? configPath : readyFile) = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "update-server: unexpected argument %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (configPath.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  // Every thread started from here on inherits the blocked signals; main waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  corlinq::UpdateServerConfig config;
  std::string error;
  if (!corlinq::LoadUpdateServerConfig(configPath, config, error)) {
    std::fprintf(stderr, "update-server: %s: %s\n", configPath.c_str(), error.c_str());
    return 1;
  }
  std::string pem;
  corlinq::EnvelopeKey key;
  if (!ReadFile(config.envelopeKeyFile, pem) || !corlinq::LoadEnvelopeKeyPem(pem, key)) {
    std::fprintf(stderr, "update-server: cannot read the envelope key %s\n",
                 config.envelopeKeyFile.c_str());
    return 1;
  }

  corlinq::UpdateServer server(config, key, stdout);
  if (!server.Start(error)) {
    std::fprintf(stderr, "update-server: %s\n", error.c_str());
    return 1;
  }
  std::string listing;
  for (const corlinq::BoundListener& b : server.Bound()) {
    listing += corlinq::StrPrintf("%s %s:%d\n", b.tls ? "https" : "http", b.address.c_str(),
                                  b.port);
  }
  if (!readyFile.empty()) {
    std::string temp = readyFile + ".tmp";
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << listing;
    out.close();
    if (!out || std::rename(temp.c_str(), readyFile.c_str()) != 0) {
      std::fprintf(stderr, "update-server: cannot write %s\n", readyFile.c_str());
      server.Stop();
      return 1;
    }
  }
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) std::printf("listening %s\n", line.c_str());
  std::printf("ready\n");
  std::fflush(stdout);

  int signalNumber = 0;
  sigwait(&stopSignals, &signalNumber);
  std::printf("stopping on %s\n", signalNumber == SIGINT ? "SIGINT" : "SIGTERM");
  std::fflush(stdout);
  server.Stop();
  std::printf("stopped\n");
  std::fflush(stdout);
  return 0;
}
