// The release check and its place in the manifest step.
#include "engine/release_check.h"

#include "base/strings.h"
#include "base/version.h"
#include "engine/install_engine.h"

namespace corlinq {
namespace {

bool NamesCompanion(const ReleaseManifest& self, const ReleaseManifest& other) {
  return self.statement.manifest == self.name && self.statement.companion == other.name &&
         self.statement.companionList == other.listDigest;
}

int CompareVersionTexts(const std::string& a, const std::string& b) {
  VersionParts pa{};
  VersionParts pb{};
  ParseVersion(a, pa);
  ParseVersion(b, pb);
  return CompareVersions(pa, pb);
}

}  // namespace

ReleasePolicy BuildReleasePolicy() {
#if defined(CORLINQ_RELEASE_POLICY_STRICT) && CORLINQ_RELEASE_POLICY_STRICT
  return ReleasePolicy::kStrict;
#else
  return ReleasePolicy::kCompatible;
#endif
}

ReleaseVerdict JudgeRelease(const ReleaseManifest& common, const ReleaseManifest& bank,
                            const ReleaseContext& context) {
  const bool commonAbsent = common.read == StatementRead::kAbsent;
  const bool bankAbsent = bank.read == StatementRead::kAbsent;
  if (commonAbsent && bankAbsent) {
    return context.policy == ReleasePolicy::kStrict ? ReleaseVerdict::kNoStatement
                                                    : ReleaseVerdict::kAcceptedUnstated;
  }
  if (common.read == StatementRead::kMalformed || bank.read == StatementRead::kMalformed) {
    return ReleaseVerdict::kMalformed;
  }
  // One of a release with statements beside one of a release without.
  if (commonAbsent || bankAbsent) return ReleaseVerdict::kNotCompanions;
  if (!NamesCompanion(common, bank) || !NamesCompanion(bank, common)) return ReleaseVerdict::kNotCompanions;
  for (const ReleaseManifest* m : {&common, &bank}) {
    if (!IsReleaseVersionText(context.replyVersion) ||
        CompareVersionTexts(m->statement.version, context.replyVersion) != 0) {
      return ReleaseVerdict::kVersionMismatch;
    }
  }
  if (!context.installedVersion.empty() &&
      CompareVersionTexts(common.statement.version, context.installedVersion) < 0) {
    return ReleaseVerdict::kOlderThanInstalled;
  }
  for (const ReleaseManifest* m : {&common, &bank}) {
    if (m->statement.expiresUnix && context.now >= *m->statement.expiresUnix) return ReleaseVerdict::kExpired;
  }
  return ReleaseVerdict::kAccepted;
}

bool IsReleaseAccepted(ReleaseVerdict verdict) {
  return verdict == ReleaseVerdict::kAccepted || verdict == ReleaseVerdict::kAcceptedUnstated;
}

const char* ReleaseVerdictText(ReleaseVerdict verdict) {
  switch (verdict) {
    case ReleaseVerdict::kAccepted: return "release accepted";
    case ReleaseVerdict::kAcceptedUnstated: return "release without statement accepted";
    case ReleaseVerdict::kNoStatement: return "release without statement refused";
    case ReleaseVerdict::kMalformed: return "malformed release statement";
    case ReleaseVerdict::kNotCompanions: return "manifests of different releases";
    case ReleaseVerdict::kVersionMismatch: return "release version differs from the reply";
    case ReleaseVerdict::kOlderThanInstalled: return "release older than the installed version";
    case ReleaseVerdict::kExpired: return "release expired";
  }
  return "unknown";
}

std::string ReleaseRefusalStatus(ReleaseVerdict verdict) {
  switch (verdict) {
    case ReleaseVerdict::kVersionMismatch:
    case ReleaseVerdict::kOlderThanInstalled:
      return "配置文件版本不符";
    case ReleaseVerdict::kExpired:
      return "配置文件已过期";
    default:
      return "配置文件校验失败";
  }
}

bool InstallEngine::AcceptRelease(const std::string& commonFile, const std::string& bankFile) {
  const auto judged = [&](const std::string& file, const std::string& name) {
    const ManifestLoad& load = ManifestAt(file).load;  // as the manifest step read it
    return ReleaseManifest{name, load.release, load.statement, EntryListDigest(load.entries)};
  };
  const std::string bankName = BankManifestName(config_.bankId);
  ReleaseContext context;
  context.policy = releasePolicy;
  context.replyVersion = serverVersion;
  context.now = ports_.host.UnixTimeNow();
  const std::string recordKey = StrPrintf("Software\\%s\\Tollwyn\\WebUI\\%s\\%x", config_.registryVendor.c_str(),
                                          familyWord.c_str(), static_cast<unsigned>(config_.bankId));
  if (RegistryOpen record = ports_.registry.OpenKey(RegistryView::k32, recordKey); record.key) {
    context.installedVersion = record.key->ReadString("Version").value_or(std::string());
  }
  const ReleaseVerdict verdict =
      JudgeRelease(judged(commonFile, kCommonManifestName), judged(bankFile, bankName), context);
  ports_.host.Trace(ReleaseVerdictText(verdict), IsReleaseAccepted(verdict) ? "Success" : "Failed");
  if (IsReleaseAccepted(verdict)) return true;
  SetStatus(ReleaseRefusalStatus(verdict));
  SetButtonText("下载失败");
  // Nothing of a refused release stays where a later step or run could take it.
  (void)ports_.files.Remove(commonFile);
  (void)ports_.files.Remove(bankFile);
  manifests_.erase(commonFile);
  manifests_.erase(bankFile);
  return false;
}

}  // namespace corlinq
