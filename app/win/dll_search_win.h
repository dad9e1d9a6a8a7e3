#pragma once
// Where the downloader's libraries come from. Its static imports are KnownDLLs only; every other
// system library (WinINet, CRYPT32, GDI+, BCrypt) is delay-loaded on first use (see
// delay_imports.cmake). Before any of our code can cause a load, the process's library search is
// narrowed to System32, so that nothing planted beside the program or in the current folder is
// ever mapped: not by the delay-load helper, not by a system library loading another on our
// behalf (comctl32 loading uxtheme, WinINet loading its TLS stack).

namespace corlinq::win {

// Narrows the search to System32 (SetDefaultDllDirectories where the system has it), takes the
// current folder out of it, and maps the delay-loaded libraries from System32. Idempotent; it runs by itself first thing in the process's static
// initialisation, ahead of the application object. True when SetDefaultDllDirectories took.
bool RestrictLibrarySearchToSystem32();

}  // namespace corlinq::win
