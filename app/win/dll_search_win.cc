#include "app/win/dll_search_win.h"

#include <windows.h>
#include <delayimp.h>

#include <cstring>
#include <string>

namespace corlinq::win {
namespace {

constexpr DWORD kSearchSystem32 = 0x00000800;         // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr DWORD kAlteredSearchPath = 0x00000008;      // LOAD_WITH_ALTERED_SEARCH_PATH

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// Windows 7 has SetDefaultDllDirectories (and the LOAD_LIBRARY_SEARCH_* flags) only with
// KB2533623: looked up, not imported, so that the program still starts without it.
SetDefaultDllDirectoriesFn FindSetDefaultDllDirectories() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return nullptr;
  FARPROC proc = GetProcAddress(kernel, "SetDefaultDllDirectories");
  SetDefaultDllDirectoriesFn fn = nullptr;
  static_assert(sizeof(fn) == sizeof(proc));
  std::memcpy(&fn, &proc, sizeof(fn));
  return fn;
}

bool g_restricted = false;
bool g_searchFlagsWork = false;

// A library of System32 by its bare name ("wininet.dll"), never from anywhere else.
HMODULE LoadSystemLibrary(const char* name) {
  std::wstring wide;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':' || static_cast<unsigned char>(*p) >= 0x80) return nullptr;
    wide.push_back(static_cast<wchar_t>(*p));
  }
  if (g_searchFlagsWork) {
    if (HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, kSearchSystem32)) return module;
    if (GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
  }
  // Without the search flags: the full System32 path, its own dependencies searched from there.
  wchar_t system[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(system, length) + L"\\" + wide;
  return LoadLibraryExW(path.c_str(), nullptr, kAlteredSearchPath);
}

// The delay-load helper asks here before it would call LoadLibraryA itself. A library that is not
// in System32 raises the helper's own "module not found" exception rather than fall back to the
// ordinary search.
FARPROC WINAPI DelayLoadFromSystem32(unsigned notify, PDelayLoadInfo info) {
  if (notify != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) return nullptr;
  (void)RestrictLibrarySearchToSystem32();
  HMODULE module = LoadSystemLibrary(info->szDll);
  if (module == nullptr) {
    info->dwLastError = GetLastError();
    ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
    RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
    return nullptr;
  }
  FARPROC result = nullptr;
  static_assert(sizeof(result) == sizeof(module));
  std::memcpy(&result, &module, sizeof(result));
  return result;
}

// The system libraries the program uses beyond the KnownDLLs (the ones delay_imports.cmake makes
// delay-loaded), mapped from System32 once, right after the search is narrowed, and held for the
// life of the process. A later load by bare name, ours or one a system library makes for itself,
// then finds the module already mapped instead of searching: Wine's own delay-loads inside its
// system libraries (schannel's of crypt32) look in the program's folder whatever the process's
// search directories say.
constexpr const char* kHeldSystemLibraries[] = {"crypt32.dll", "bcrypt.dll", "wininet.dll", "gdiplus.dll"};

// Runs before every static constructor of default priority, the application object's included.
struct RestrictAtStart {
  RestrictAtStart() { (void)RestrictLibrarySearchToSystem32(); }
};
RestrictAtStart g_restrictAtStart __attribute__((init_priority(101)));

}  // namespace

bool RestrictLibrarySearchToSystem32() {
  if (!g_restricted) {
    g_restricted = true;
    if (SetDefaultDllDirectoriesFn set = FindSetDefaultDllDirectories()) g_searchFlagsWork = set(kSearchSystem32) != FALSE;
    SetDllDirectoryW(L"");  // the current folder leaves the ordinary search too
    for (const char* name : kHeldSystemLibraries) (void)LoadSystemLibrary(name);
  }
  return g_searchFlagsWork;
}

}  // namespace corlinq::win

// The helper's notification hook (mingw-w64 delayimp): defined here, it replaces the runtime's
// empty one.
PfnDliHook __pfnDliNotifyHook2 = corlinq::win::DelayLoadFromSystem32;  // declared extern "C" there
