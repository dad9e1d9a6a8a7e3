// update-server --config FILE [--ready-file FILE] [--check-releases]
//               | --check-config [FILE] [--check-releases] | --help | --version
//
// The bank's reference update server, in the foreground. Prints one line per listener
// ("listening https 127.0.0.1:8443") and then "ready" on stdout once every listener accepts
// connections, then one line per request. SIGHUP reads the configuration again and swaps it in
// (a bad one is reported and the running one kept); SIGTERM or SIGINT stops it cleanly (exit 0).
// With "checkReleases" in the configuration (or --check-releases) every bank's release folder is
// verified first (signatures, digests): a release that does not hold stops the start, fails the
// check and is refused by a reload, with one line per problem naming the file and the reason.
// Exit 1: the configuration, a release or a listener cannot be set up; exit 2: wrong command
// line.
#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/strings.h"
#include "tools/update-server/release_startup_check.h"
#include "tools/update-server/update_server.h"
#include "tools/update-server/update_server_config.h"

#ifndef CORLINQ_VERSION
#define CORLINQ_VERSION "0"
#endif

namespace {

constexpr const char kUsage[] =
    "usage: update-server --config FILE [--ready-file FILE] [--check-releases]\n"
    "       update-server --check-config FILE | --check-config --config FILE [--check-releases]\n"
    "  --config FILE        JSON configuration (listeners, certificate, envelope keys, banks)\n"
    "  --ready-file FILE    once listening, write the bound listeners there, one per line\n"
    "                       (\"https 127.0.0.1:8443\"); written whole under a temporary name first\n"
    "  --check-config [FILE]  read the configuration (FILE, or --config's) and everything it\n"
    "                       names, then exit:\n"
    "                       0 and \"configuration ok\", or 1 and the problem\n"
    "  --check-releases     verify every bank's release folder against its \"releaseKey\"\n"
    "                       (signatures, digests) before serving, as \"checkReleases\" does\n"
    "  --help               this text\n"
    "  --version            the program's version\n"
    "Signals: SIGHUP reads the configuration again; SIGTERM and SIGINT stop the server.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "update-server: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// The problems of the banks' releases, when the configuration or the command line asks for the
// check; none otherwise.
std::vector<std::string> ReleaseProblems(const corlinq::ServerSetup& setup, bool forced) {
  if (!forced && !setup.config.checkReleases) return {};
  return corlinq::CheckBankReleases(setup.config);
}

}  // namespace

int main(int argc, char** argv) {
  std::string configPath;
  std::string readyFile;
  std::string checkPath;
  bool check = false;
  bool checkReleases = false;
  enum { kConfig = 1, kReadyFile, kCheckConfig, kCheckReleases, kHelp, kVersion };
  static const option kOptions[] = {
      {"config", required_argument, nullptr, kConfig},
      {"ready-file", required_argument, nullptr, kReadyFile},
      {"check-config", optional_argument, nullptr, kCheckConfig},
      {"check-releases", no_argument, nullptr, kCheckReleases},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  for (;;) {
    int index = 0;
    int c = getopt_long(argc, argv, ":h", kOptions, &index);
    if (c == -1) break;
    switch (c) {
      case kConfig:
        configPath = optarg;
        break;
      case kReadyFile:
        readyFile = optarg;
        break;
      case kCheckConfig:
        check = true;
        if (optarg != nullptr) checkPath = optarg;
        break;
      case kCheckReleases:
        checkReleases = true;
        break;
      case kHelp:
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      case kVersion:
        std::printf("update-server %s\n", CORLINQ_VERSION);
        return 0;
      case ':':
        return UsageError(std::string("option ") + argv[optind - 1] + " needs a value");
      default:
        return UsageError(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  // "--check-config FILE": the file is the one operand.
  if (check && checkPath.empty() && configPath.empty() && optind + 1 == argc) {
    checkPath = argv[optind++];
  }
  if (optind < argc) return UsageError(std::string("unexpected argument ") + argv[optind]);

  if (check) {
    if (!checkPath.empty() && !configPath.empty() && checkPath != configPath) {
      return UsageError("--check-config and --config name different files");
    }
    if (checkPath.empty()) checkPath = configPath;
    if (checkPath.empty()) return UsageError("--check-config needs a configuration file");
    corlinq::ServerSetup setup;
    std::string error;
    if (!corlinq::LoadServerSetup(checkPath, setup, error)) {
      std::fprintf(stderr, "update-server: %s: %s\n", checkPath.c_str(), error.c_str());
      return 1;
    }
    const std::vector<std::string> problems = ReleaseProblems(setup, checkReleases);
    for (const std::string& problem : problems) {
      std::fprintf(stderr, "update-server: %s: release check failed: %s\n", checkPath.c_str(),
                   problem.c_str());
    }
    if (!problems.empty()) return 1;
    std::printf("configuration ok: %zu listeners, %zu banks, %zu envelope keys%s\n",
                setup.config.listeners.size(), setup.config.banks.size(), setup.keys.size(),
                checkReleases || setup.config.checkReleases ? ", releases checked" : "");
    return 0;
  }
  if (configPath.empty()) return UsageError("--config FILE is required");

  // Every thread started from here on inherits the blocked signals; main waits for them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Many open connections need many descriptors: take what the system allows.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  auto setup = std::make_shared<corlinq::ServerSetup>();
  std::string error;
  if (!corlinq::LoadServerSetup(configPath, *setup, error)) {
    std::fprintf(stderr, "update-server: %s: %s\n", configPath.c_str(), error.c_str());
    return 1;
  }
  if (const std::vector<std::string> problems = ReleaseProblems(*setup, checkReleases);
      !problems.empty()) {
    for (const std::string& problem : problems) {
      std::fprintf(stderr, "update-server: release check failed: %s\n", problem.c_str());
    }
    std::fprintf(stderr, "update-server: not starting: a release does not hold\n");
    return 1;
  }

  corlinq::UpdateServer server(setup, stdout);
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
  {
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) std::printf("listening %s\n", line.c_str());
    std::printf("ready\n");
    std::fflush(stdout);
  }

  for (;;) {
    int signalNumber = 0;
    if (sigwait(&signals, &signalNumber) != 0) continue;
    if (signalNumber == SIGHUP) {
      auto next = std::make_shared<corlinq::ServerSetup>();
      if (!corlinq::LoadServerSetup(configPath, *next, error)) {
        std::printf("reload failed, the running configuration stays: %s\n", error.c_str());
      } else if (const std::vector<std::string> problems = ReleaseProblems(*next, checkReleases);
                 !problems.empty()) {
        for (const std::string& problem : problems) {
          std::printf("reload failed, the running configuration stays: release check failed: %s\n",
                      problem.c_str());
        }
      } else {
        server.Reload(next);
        std::printf("reloaded %s (listeners, certificate, threads and limits as started)\n",
                    configPath.c_str());
      }
      std::fflush(stdout);
      continue;
    }
    // Requests under way end (and log their lines) before the stop is announced.
    server.Drain();
    std::printf("stopping on %s\n", signalNumber == SIGINT ? "SIGINT" : "SIGTERM");
    std::fflush(stdout);
    break;
  }
  server.Stop();
  std::printf("stopped\n");
  std::fflush(stdout);
  return 0;
}
