#pragma once
// The owner-painted progress bar: a grey track and a fill tiled from bitmap 148, as wide as the
// position's share of the range. Attached to an existing progress control by subclassing.
#include <windows.h>

namespace corlinq::win {

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
