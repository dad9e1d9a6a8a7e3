#pragma once
// Move-only owners of GDI objects and memory device contexts.
#include <windows.h>

#include "base/win/scoped_handle.h"

namespace corlinq::win {

template <typename T>
struct GdiObjectTraits {
  using Handle = T;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { DeleteObject(h); }
};
using ScopedBitmap = UniqueHandle<GdiObjectTraits<HBITMAP>>;
using ScopedBrush = UniqueHandle<GdiObjectTraits<HBRUSH>>;

struct MemoryDcTraits {
  using Handle = HDC;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { DeleteDC(h); }
};
using ScopedMemoryDc = UniqueHandle<MemoryDcTraits>;

// Selects an object into a DC for a scope and puts the old one back.
class ScopedSelect {
 public:
  ScopedSelect(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
  ~ScopedSelect() { SelectObject(dc_, old_); }
  ScopedSelect(const ScopedSelect&) = delete;
  ScopedSelect& operator=(const ScopedSelect&) = delete;

 private:
  HDC dc_;
  HGDIOBJ old_;
};

}  // namespace corlinq::win
