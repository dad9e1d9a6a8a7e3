#include "tools/update-server/release_startup_check.h"

#include <filesystem>

#include "tools/release-check/release_check.h"

namespace corlinq {

std::vector<std::string> CheckBankReleases(const UpdateServerConfig& config) {
  namespace fs = std::filesystem;
  std::vector<std::string> lines;
  for (const BankRelease& bank : config.banks) {
    const std::string head = "bank " + bank.bankIdText + ": ";
    const std::string keyFile =
        bank.releaseKeyFile.empty() ? config.releaseKeyFile : bank.releaseKeyFile;
    if (keyFile.empty()) {
      lines.push_back(head + "no \"releaseKey\" to check " + bank.releaseDir + " against");
      continue;
    }
    std::string error;
    release_check::Key key = release_check::ReadPublicKey(keyFile, error);
    if (!key) {
      lines.push_back(head + error);
      continue;
    }
    release_check::Report report;
    if (!release_check::CheckRelease(bank.releaseDir, key.get(), static_cast<int>(bank.bankId),
                                     report, error)) {
      lines.push_back(head + error);
      continue;
    }
    for (const release_check::Problem& problem : report.problems) {
      lines.push_back(head + (fs::path(bank.releaseDir) / problem.file).string() + ": " +
                      problem.kind + ": " + problem.message);
    }
  }
  return lines;
}

}  // namespace corlinq
