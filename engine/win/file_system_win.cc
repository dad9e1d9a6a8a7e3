#include <windows.h>

#include <openssl/evp.h>

#include <cstdio>
#include <memory>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"
#include "engine/win/win_ports.h"
#include "protocol/file_digest.h"

namespace corlinq::win {

bool WinFileSystem::Exists(const std::string& path) {
  return GetFileAttributesW(Utf8ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WinFileSystem::IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int WinFileSystem::CreateFolder(const std::string& path) {
  if (CreateDirectoryW(Utf8ToWide(path).c_str(), nullptr)) return 0;
  return static_cast<int>(GetLastError());
}

std::optional<std::vector<FolderEntry>> WinFileSystem::List(const std::string& folder) {
  WIN32_FIND_DATAW data{};
  ScopedFindHandle find(FindFirstFileW(Utf8ToWide(folder + "\\*.*").c_str(), &data));
  if (!find) return std::nullopt;
  std::vector<FolderEntry> entries;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back({WideToUtf8(name), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(find.get(), &data));
  return entries;
}

bool WinFileSystem::Remove(const std::string& path) { return ::DeleteFileW(Utf8ToWide(path).c_str()) != 0; }

int WinFileSystem::Copy(const std::string& from, const std::string& to) {
  if (::CopyFileW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), FALSE)) return 0;
  return static_cast<int>(GetLastError());
}

bool WinFileSystem::Move(const std::string& from, const std::string& to) {
  const std::wstring a = Utf8ToWide(from);
  const std::wstring b = Utf8ToWide(to);
  if (::MoveFileW(a.c_str(), b.c_str())) return true;
  return _wrename(a.c_str(), b.c_str()) == 0;  // the run-time library's rename as second try
}

bool WinFileSystem::TruncateFile(const std::string& path) {
  ScopedHandle file(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.valid();
}

std::optional<std::string> WinFileSystem::ReadFile(const std::string& path) {
  ScopedHandle file(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string content;
  char block[4096];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), block, sizeof(block), &got, nullptr)) return std::nullopt;
    if (got == 0) break;
    content.append(block, got);
    if (content.size() > (16u << 20)) return std::nullopt;  // no journal is that long
  }
  return content;
}

namespace {

constexpr DWORD kPlaceFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// The content of an open file on disk before it is moved into place.
bool Flush(const std::wstring& path) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && FlushFileBuffers(file.get());
}

}  // namespace

bool WinFileSystem::WriteFileDurably(const std::string& path, const std::string& content) {
  const std::wstring target = Utf8ToWide(path);
  const std::wstring side = target + L".new";
  {
    ScopedHandle file(CreateFileW(side.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (!::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
        written != content.size() || !FlushFileBuffers(file.get())) {
      file.reset();
      ::DeleteFileW(side.c_str());
      return false;
    }
  }
  if (MoveFileExW(side.c_str(), target.c_str(), kPlaceFlags)) return true;
  ::DeleteFileW(side.c_str());
  return false;
}

bool WinFileSystem::MoveDurably(const std::string& from, const std::string& to) {
  const std::wstring a = Utf8ToWide(from);
  if (!Flush(a)) return false;
  return MoveFileExW(a.c_str(), Utf8ToWide(to).c_str(), kPlaceFlags) != 0;
}

bool WinFileSystem::CanReplace(const std::string& path) {
  const std::wstring p = Utf8ToWide(path);
  if (GetFileAttributesW(p.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  // No sharing at all: any other open handle, or a running image, refuses this.
  ScopedHandle file(CreateFileW(p.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
  return file.valid();
}

std::optional<std::string> WinFileSystem::FileDigest(const std::string& path, DigestKind kind) {
  if (kind == DigestKind::kSha1Base64) {
    // The same digest the downloads are verified with.
    std::string digest;
    if (!FileDigestBase64(path, digest)) return std::nullopt;
    return digest;
  }
  ScopedHandle file(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  unsigned char block[4096];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), block, sizeof(block), &got, nullptr)) return std::nullopt;
    if (got == 0) break;
    if (EVP_DigestUpdate(ctx.get(), block, got) != 1) return std::nullopt;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) return std::nullopt;
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof(pair), "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

std::string WinFileSystem::CurrentFolder() {
  wchar_t buffer[MAX_PATH * 2] = {};
  const DWORD length = GetCurrentDirectoryW(MAX_PATH * 2, buffer);
  if (length == 0 || length >= MAX_PATH * 2) return {};
  std::string folder = WideToUtf8(buffer);
  if (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  return folder;
}

std::string WinFileSystem::TempFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) return {};
  return WideToUtf8(buffer);
}

}  // namespace corlinq::win
