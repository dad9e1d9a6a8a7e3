#pragma once
// The owner-painted progress bar: a grey track and a fill tiled from bitmap 148, as wide as the
// position's share of the range. Attached to an existing progress control by subclassing.
#include <windows.h>

namespace corlinq::win {

// While one lives, bars on this thread do not paint themselves at once when their position or
// range changes (the progress control asks for that); their changes wait for the next paint of
// their dialog, which the holder of this brings about.
class DeferredBarPaints {
 public:
  DeferredBarPaints();
  ~DeferredBarPaints();
  DeferredBarPaints(const DeferredBarPaints&) = delete;
  DeferredBarPaints& operator=(const DeferredBarPaints&) = delete;
};

class CMyProgress {
 public:
  // Takes over the painting of the control; true when the subclass is in place.
  bool SubclassDlgItem(int id, HWND dialog);
  [[nodiscard]] HWND hwnd() const { return hwnd_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR subclassId, DWORD_PTR refData);
  static void Paint(HWND hwnd);
  HWND hwnd_ = nullptr;
};

}  // namespace corlinq::win
