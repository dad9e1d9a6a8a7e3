#include "manifest/release_statement.h"

#include <openssl/evp.h>

#include <cstdio>

#include "base/strings.h"

namespace corlinq {
namespace {

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool ReadDigits(std::string_view text, size_t at, size_t count, unsigned& value) {
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return true;
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool IsBase64Sha256(std::string_view text) {
  if (text.size() != 44 || text[43] != '=') return false;
  for (size_t i = 0; i < 43; ++i) {
    const char c = text[i];
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '+' || c == '/';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

const char* StatementReadText(StatementRead read) {
  switch (read) {
    case StatementRead::kAbsent: return "no release statement";
    case StatementRead::kValid: return "release statement";
    case StatementRead::kMalformed: return "malformed release statement";
  }
  return "unknown";
}

std::string EntryListDigest(const std::vector<ManifestEntry>& entries) {
  std::string list;
  for (const ManifestEntry& e : entries) {
    list += e.path;
    list += '\n';
    list += e.fileName;
    list += '\n';
    list += e.digest;
    list += '\n';
  }
  unsigned char digest[32];
  unsigned int len = 0;
  if (EVP_Digest(list.data(), list.size(), digest, &len, EVP_sha256(), nullptr) != 1 || len != 32) {
    return std::string();
  }
  std::string out(45, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), digest, 32);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

std::optional<int64_t> ParseUtcTime(std::string_view text) {
  // 0123456789012345678 9
  // YYYY-MM-DDThh:mm:ssZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  unsigned y, mo, d, h, mi, s;
  if (!ReadDigits(text, 0, 4, y) || !ReadDigits(text, 5, 2, mo) || !ReadDigits(text, 8, 2, d) ||
      !ReadDigits(text, 11, 2, h) || !ReadDigits(text, 14, 2, mi) || !ReadDigits(text, 17, 2, s)) {
    return std::nullopt;
  }
  static const unsigned kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1970 || mo < 1 || mo > 12 || h > 23 || mi > 59 || s > 59) return std::nullopt;
  const unsigned monthDays = kMonthDays[mo - 1] + (mo == 2 && IsLeap(y) ? 1 : 0);
  if (d < 1 || d > monthDays) return std::nullopt;
  return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

std::string FormatUtcTime(int64_t t) {
  int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
  const int64_t secs = t - days * 86400;
  // Civil from days (inverse of DaysFromCivil).
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
  return StrPrintf("%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(y), m, d,
                   static_cast<long long>(secs / 3600), static_cast<long long>(secs / 60 % 60),
                   static_cast<long long>(secs % 60));
}

bool IsReleaseVersionText(std::string_view text) {
  int parts = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = text.find('.', start);
    const std::string_view part =
        text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (part.empty() || part.size() > 10 || ++parts > 4) return false;
    uint64_t value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

std::string FormatReleaseElement(const ReleaseStatement& s) {
  std::string out = std::string("<") + kReleaseElement + " Version=\"" + s.version + "\"";
  if (s.expiresUnix) out += " Expires=\"" + FormatUtcTime(*s.expiresUnix) + "\"";
  out += " Manifest=\"" + s.manifest + "\" Companion=\"" + s.companion + "\" CompanionList=\"" +
         s.companionList + "\"/>";
  return out;
}

StatementRead ReadReleaseStatement(const ManifestXml& doc, ReleaseStatement& out) {
  if (!doc.HasElement(kReleaseElement, 1)) return StatementRead::kAbsent;
  if (doc.HasElement(kReleaseElement, 2)) return StatementRead::kMalformed;
  const auto attr = [&](const char* name) { return doc.FindAttribute(kReleaseElement, name, 1); };
  const std::optional<std::string> version = attr("Version");
  const std::optional<std::string> expires = attr("Expires");
  const std::optional<std::string> manifest = attr("Manifest");
  const std::optional<std::string> companion = attr("Companion");
  const std::optional<std::string> list = attr("CompanionList");
  if (!version || !IsReleaseVersionText(*version)) return StatementRead::kMalformed;
  if (!manifest || !IsSafeFileName(*manifest) || !companion || !IsSafeFileName(*companion)) {
    return StatementRead::kMalformed;
  }
  if (!list || !IsBase64Sha256(*list)) return StatementRead::kMalformed;
  ReleaseStatement s;
  if (expires) {
    s.expiresUnix = ParseUtcTime(*expires);
    if (!s.expiresUnix) return StatementRead::kMalformed;
  }
  s.version = *version;
  s.manifest = *manifest;
  s.companion = *companion;
  s.companionList = *list;
  out = std::move(s);
  return StatementRead::kValid;
}

}  // namespace corlinq
