#include "ui/win/my_progress.h"

#include <commctrl.h>

#include "ui/res/resource_ids.h"
#include "ui/skin_rules.h"
#include "ui/win/gdi.h"

namespace corlinq::win {

namespace {
thread_local int t_deferredPaints = 0;
}  // namespace

DeferredBarPaints::DeferredBarPaints() { ++t_deferredPaints; }
DeferredBarPaints::~DeferredBarPaints() { --t_deferredPaints; }

bool CMyProgress::SubclassDlgItem(int id, HWND dialog) {
  hwnd_ = GetDlgItem(dialog, id);
  return hwnd_ && SetWindowSubclass(hwnd_, &CMyProgress::WindowProc, 1, 0);
}

LRESULT CALLBACK CMyProgress::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                         DWORD_PTR) {
  switch (message) {
    case WM_PAINT:
      // Deferred: the bar stays invalid and is painted with its dialog.
      if (t_deferredPaints > 0) return 0;
      Paint(hwnd);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // the paint covers the whole bar
    case PBM_SETPOS:
    case PBM_DELTAPOS:
    case PBM_STEPIT:
    case PBM_SETRANGE:
    case PBM_SETRANGE32: {
      // The control invalidates by its own geometry; the fill here is ours, so repaint it whole.
      const LRESULT result = DefSubclassProc(hwnd, message, wParam, lParam);
      InvalidateRect(hwnd, nullptr, FALSE);
      return result;
    }
    case WM_NCDESTROY:
      RemoveWindowSubclass(hwnd, &CMyProgress::WindowProc, 1);
      break;
    default:
      break;
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

namespace {

// The brushes of every bar, made at the first paint and kept for the life of the process.
struct BarBrushes {
  ScopedBrush track;
  ScopedBitmap tile;
  ScopedBrush fill;  // null when the tile bitmap is missing
};

const BarBrushes& Brushes() {
  static const BarBrushes brushes = [] {
    BarBrushes made;
    made.track.reset(CreateSolidBrush(RGB(128, 119, 122)));
    made.tile.reset(LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_PROGRESS_FILL)));
    if (made.tile) made.fill.reset(CreatePatternBrush(made.tile.get()));
    return made;
  }();
  return brushes;
}

}  // namespace

void CMyProgress::Paint(HWND hwnd) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd, &paint);
  RECT client;
  GetClientRect(hwnd, &client);
  const BarBrushes& brushes = Brushes();
  FillRect(dc, &client, brushes.track.get());

  PBRANGE range{};
  SendMessageW(hwnd, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
  const int position = static_cast<int>(SendMessageW(hwnd, PBM_GETPOS, 0, 0));
  RECT fill = client;
  fill.right = ProgressFillWidth(client.right - client.left, range.iLow, range.iHigh, position);
  if (fill.right > 0 && brushes.fill) {
    SetBrushOrgEx(dc, 0, 0, nullptr);
    FillRect(dc, &fill, brushes.fill.get());
  }
  EndPaint(hwnd, &paint);
}

}  // namespace corlinq::win
