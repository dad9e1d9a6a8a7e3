#pragma once
// The release check: do the two fetched manifests form the release the version reply announced,
// one that may be installed over what is installed, now? Pure: statements and texts in, a
// verdict out.
#include <cstdint>
#include <string>

#include "manifest/release_statement.h"

namespace corlinq {

enum class ReleasePolicy {
  kCompatible,  // manifests without a statement are taken (and traced)
  kStrict,      // manifests without a statement are refused
};

// The build's policy: RELEASE_POLICY=strict or compatible (the default).
[[nodiscard]] ReleasePolicy BuildReleasePolicy();

// One fetched manifest as the check sees it.
struct ReleaseManifest {
  std::string name;  // the file name it was fetched as ("Digest.xml", "Digest_867.xml")
  StatementRead read = StatementRead::kAbsent;
  ReleaseStatement statement;  // when read is kValid
  std::string listDigest;      // EntryListDigest of its own entries
};

struct ReleaseContext {
  ReleasePolicy policy = ReleasePolicy::kCompatible;
  std::string replyVersion;      // the version reply's "v"
  std::string installedVersion;  // the install record's Version; empty when none
  int64_t now = 0;               // seconds since the epoch
};

enum class ReleaseVerdict {
  kAccepted,            // both statements name each other and the announced release
  kAcceptedUnstated,    // neither manifest has a statement and the policy is compatible
  kNoStatement,         // neither has one and the policy is strict
  kMalformed,           // a statement is not in its form
  kNotCompanions,       // one has a statement and the other not, or they do not name each other
  kVersionMismatch,     // the statements' version is not the announced one
  kOlderThanInstalled,  // the release is older than the installed version
  kExpired,             // the release's expiry time has passed
};

[[nodiscard]] ReleaseVerdict JudgeRelease(const ReleaseManifest& common, const ReleaseManifest& bank,
                                          const ReleaseContext& context);
[[nodiscard]] bool IsReleaseAccepted(ReleaseVerdict verdict);
// For the trace.
[[nodiscard]] const char* ReleaseVerdictText(ReleaseVerdict verdict);
// The progress dialog's status line for a refusal.
[[nodiscard]] std::string ReleaseRefusalStatus(ReleaseVerdict verdict);

}  // namespace corlinq
