// A small client of the transport for script tests, native and under Wine:
//   corlinq_fetch query BASE_URL...
//       Sends the version query (the build's bank id, sealed) to the base URLs in failover
//       order, opens the reply and prints its plaintext. Exit 1 when no server answered or the
//       reply does not open.
//   corlinq_fetch get URL PATH [--digest BASE64 | --expect-pattern N] [--timeouts C S R]
//                     [--low-speed BYTES_PER_SECOND WINDOW_MS] [--abandon-after-ms N]
//       DownloadFile of URL into PATH; with --expect-pattern the digest of the first N bytes of
//       the test peer's pattern is required. --timeouts and --low-speed replace the download's
//       bounds (milliseconds); --abandon-after-ms calls AbandonDownloads from another thread
//       after N ms, as a cancelled run does. Prints "result=0|1", the seconds it took
//       ("seconds=...") and, natively, the process's peak resident memory ("peak_rss_kib=...").
//   corlinq_fetch get-all DIR URL|@LIST...
//       DownloadFile of each URL in turn into DIR/1, DIR/2, ... over the one platform port, as
//       the files of a run are; @LIST stands for the URLs in the file LIST, one per line (a
//       Windows command line holds no more than 32,767 characters). Prints "result=0|1" (1 when
//       every download stored its file) and the seconds the downloads took ("seconds=...").
//   corlinq_fetch digest PATH
//       Prints the Base64 SHA-1 of the file as the downloads compute it (FileDigestBase64).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "config/app_config.h"
#include "config/build_constants.h"
#include "protocol/download.h"
#include "protocol/envelope.h"
#include "protocol/file_digest.h"
#include "protocol/http_client.h"
#include "protocol/platform_transport.h"
#include "protocol/testing/peer_pattern.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: corlinq_fetch query BASE_URL...\n"
               "       corlinq_fetch get URL PATH [--digest BASE64 | --expect-pattern N] [--timeouts C S R]\n"
               "                         [--low-speed BYTES_PER_SECOND WINDOW_MS] [--abandon-after-ms N]\n"
               "       corlinq_fetch get-all DIR URL|@LIST...\n"
               "       corlinq_fetch digest PATH\n");
  return 2;
}

bool PatternDigest(unsigned long long size, std::string& digest) {
  corlinq::Sha1Digester digester;
  std::vector<char> buffer(1 << 20);
  for (unsigned long long at = 0; at < size;) {
    const size_t piece = static_cast<size_t>(std::min<unsigned long long>(buffer.size(), size - at));
    corlinq::testing::FillPattern(at, buffer.data(), piece);
    if (!digester.Update(buffer.data(), piece)) return false;
    at += piece;
  }
  return digester.Finish(digest);
}

int Query(int argc, char** argv) {
  corlinq::AppConfig config;
  for (int i = 2; i < argc; ++i) config.serverList.push_back(argv[i]);
  config.requestPath = corlinq::kDefaultRequestPath;
  std::string reply;
  const std::string query = corlinq::kBankIdText;
  if (corlinq::SendServerRequest(config, corlinq::PlatformHttpPort(), corlinq::PlatformTraceSink(),
                                 config.requestPath, query, reply) != 1) {
    std::fprintf(stderr, "no server answered\n");
    return 1;
  }
  std::string plain;
  if (!corlinq::OpenEnvelopeToText(reply.data(), reply.size() & ~size_t{1}, plain)) {
    std::fprintf(stderr, "the reply does not open: %.80s\n", reply.c_str());
    return 1;
  }
  std::printf("%s\n", plain.c_str());
  return 0;
}

uint32_t Number(const char* text) { return static_cast<uint32_t>(std::strtoul(text, nullptr, 10)); }

int Get(int argc, char** argv) {
  if (argc < 4) return Usage();
  corlinq::DownloadOptions options;
  long abandonAfterMs = -1;
  for (int i = 4; i < argc; ++i) {
    const std::string option = argv[i];
    const int left = argc - i - 1;
    if (option == "--digest" && left >= 1) {
      options.expectedDigest = argv[++i];
    } else if (option == "--expect-pattern" && left >= 1) {
      if (!PatternDigest(std::strtoull(argv[++i], nullptr, 10), options.expectedDigest)) return 1;
    } else if (option == "--timeouts" && left >= 3) {
      options.timeouts = {Number(argv[i + 1]), Number(argv[i + 2]), Number(argv[i + 3])};
      i += 3;
    } else if (option == "--low-speed" && left >= 2) {
      options.lowSpeed = {Number(argv[i + 1]), Number(argv[i + 2])};
      i += 2;
    } else if (option == "--abandon-after-ms" && left >= 1) {
      abandonAfterMs = static_cast<long>(Number(argv[++i]));
    } else {
      return Usage();
    }
  }
  std::thread abandoner;
  if (abandonAfterMs >= 0) {
    abandoner = std::thread([abandonAfterMs] {
      std::this_thread::sleep_for(std::chrono::milliseconds(abandonAfterMs));
      corlinq::AbandonDownloads(std::chrono::seconds(5));
    });
  }
  const auto start = std::chrono::steady_clock::now();
  const bool ok = corlinq::DownloadFile(corlinq::PlatformHttpPort(), argv[2], argv[3], nullptr, options);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (abandoner.joinable()) abandoner.join();
  std::printf("result=%d seconds=%.1f", ok ? 1 : 0, seconds);
#ifndef _WIN32
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf(" peak_rss_kib=%ld", usage.ru_maxrss);
#endif
  std::printf("\n");
  return ok ? 0 : 1;
}

int GetAll(int argc, char** argv) {
  std::vector<std::string> urls;
  for (int i = 3; i < argc; ++i) {
    if (argv[i][0] != '@') {
      urls.emplace_back(argv[i]);
      continue;
    }
    std::ifstream list(argv[i] + 1);
    if (!list) {
      std::fprintf(stderr, "cannot read %s\n", argv[i] + 1);
      return 2;
    }
    for (std::string line; std::getline(list, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) urls.push_back(line);
    }
  }
  bool ok = true;
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < urls.size(); ++i) {
    const std::string path = std::string(argv[2]) + "/" + std::to_string(i + 1);
    ok = corlinq::DownloadFile(corlinq::PlatformHttpPort(), urls[i], path, nullptr) && ok;
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("result=%d\nseconds=%.3f\n", ok ? 1 : 0, took.count());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string mode = argv[1];
  if (mode == "query" && argc >= 3) return Query(argc, argv);
  if (mode == "get") return Get(argc, argv);
  if (mode == "get-all" && argc >= 4) return GetAll(argc, argv);
  if (mode == "digest" && argc == 3) {
    std::string digest;
    if (!corlinq::FileDigestBase64(argv[2], digest)) return 1;
    std::printf("%s\n", digest.c_str());
    return 0;
  }
  return Usage();
}
