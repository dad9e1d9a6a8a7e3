#include "tools/update-server/release_path.h"

#include <system_error>

namespace corlinq {
namespace {

namespace fs = std::filesystem;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// True when `inner` is `outer` or lies below it (both canonical).
bool IsWithin(const fs::path& outer, const fs::path& inner) {
  auto o = outer.begin();
  auto i = inner.begin();
  for (; o != outer.end(); ++o, ++i) {
    if (i == inner.end() || *o != *i) return false;
  }
  return true;
}

}  // namespace

bool PercentDecodePath(std::string_view raw, std::string& decoded) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '%') {
      if (i + 2 >= raw.size()) return false;
      int high = HexValue(raw[i + 1]);
      int low = HexValue(raw[i + 2]);
      if (high < 0 || low < 0) return false;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (c == '\0') return false;
    out.push_back(c);
  }
  decoded = std::move(out);
  return true;
}

ReleasePathResult ResolveReleaseFile(const fs::path& root, std::string_view relative,
                                     fs::path& file) {
  std::error_code ec;
  fs::path canonicalRoot = fs::canonical(root, ec);
  if (ec) return ReleasePathResult::kNotFound;

  fs::path joined = canonicalRoot;
  bool any = false;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = relative.size();
    std::string_view segment = relative.substr(start, end - start);
    start = end + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") return ReleasePathResult::kForbidden;
    joined /= std::string(segment);
    any = true;
  }
  if (!any) return ReleasePathResult::kNotFound;

  fs::path target = fs::canonical(joined, ec);
  if (ec) return ReleasePathResult::kNotFound;  // nothing there, or a dangling or looping link
  if (!IsWithin(canonicalRoot, target) || target == canonicalRoot) {
    return target == canonicalRoot ? ReleasePathResult::kNotFound : ReleasePathResult::kForbidden;
  }
  if (!fs::is_regular_file(target, ec) || ec) return ReleasePathResult::kNotFound;
  file = target;
  return ReleasePathResult::kFound;
}

}  // namespace corlinq
