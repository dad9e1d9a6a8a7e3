#pragma once
// The runtime library installers a run may need, with the SHA-256 each must have before it is
// started. Rows are per bank; a bank without a row uses the default row.
namespace corlinq {

struct RuntimeInstaller {
  const char* fileName;     // "vcredist_x86.exe"
  const char* url;          // HTTPS only
  const char* sha256Hex;    // pinned digest, lowercase hexadecimal; empty: never started
  const char* presenceKey;  // HKLM, 32-bit view; present when its "Version" value reads
};

struct RuntimeProfile {
  int bankId;  // 0 for the default row
  RuntimeInstaller x86;
  RuntimeInstaller x64;
};

[[nodiscard]] const RuntimeProfile& FindRuntimeProfile(int bankId);

}  // namespace corlinq
