#pragma once
// The dialog layer: a modal dialog run from a resource template, with the skinned look every
// dialog of the downloader shares (background picture, transparent labels, icon and caption,
// remembered placement, exit confirmation, the single-instance quit message).
#include <windows.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "ui/dialog_view.h"
#include "ui/win/gdi.h"

namespace corlinq::win {

// Private message by which the dialog view runs a call on the dialog's thread (lParam points to
// the call; pointers that the view did not register are ignored).
inline constexpr UINT kDialogCallMessage = WM_APP + 0x3A1;

// The registered quit message; set once by start-up after RegisterWindowMessage. A message with
// this id and wParam 1 ends the process from any dialog. 0: none registered.
void SetQuitMessageId(UINT id);
[[nodiscard]] UINT QuitMessageId();

// Screen rectangle of the last dialog that moved (zero at start).
[[nodiscard]] RECT LastDialogRect();
void SetLastDialogRect(const RECT& rect);

// Decodes a PNG resource of the module into a bitmap of the picture's own size. Empty when the
// resource is missing or does not decode.
[[nodiscard]] ScopedBitmap LoadPngResource(int id, const wchar_t* type = L"PNG");

// "是否退出网银助手安装？" with no owner, topmost; Yes ends the process at once (exit code 0).
// Returns true when the user said No.
bool ConfirmExit();

class Dialog {
 public:
  explicit Dialog(int templateId);
  virtual ~Dialog();
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Runs the dialog modally on the calling thread; returns the result it ended with.
  INT_PTR DoModal(HWND parent = nullptr);

  [[nodiscard]] HWND hwnd() const { return hwnd_; }
  [[nodiscard]] HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
  // The view of this dialog for workers on other threads; it stays valid after the dialog
  // ended (it then reaches no window).
  [[nodiscard]] std::shared_ptr<DialogView> view() const { return view_; }

  void End(INT_PTR result);
  // Repaints the dialog's picture under a control, and the control over it.
  void RefreshControl(int id);
  // Shows another background picture (decoded at its first use, then kept with the dialog) and
  // repaints everything.
  void SetBackground(int pictureId);

 protected:
  // The message switch; the default handles what every dialog shares and calls the hooks.
  virtual INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  virtual BOOL OnInitDialog() { return TRUE; }
  // True when the command was handled. Unhandled IDCANCEL ends the dialog, unhandled IDOK too
  // when the dialog has an OK button.
  virtual bool OnCommand(int id, int notifyCode);
  virtual void OnPaint();
  virtual void OnTimer(UINT_PTR /*id*/) {}
  // WM_MOVE (moving false) and WM_MOVING (moving true); by default both record the rectangle.
  virtual void OnMove(bool moving);

  // The common initialisation: system-menu item, icon, caption, picture.
  void InitSkin(int pictureId);
  // Topmost at the remembered place.
  void PlaceAtLastRect();
  // Topmost, centred on the screen by the window or the client rectangle.
  void PlaceCentred(bool byClientRect);
  // Labels that paint no background of their own (the picture shows through).
  void SetTransparentLabels(std::set<int> ids, bool unnamedLabelsToo);
  void RecordPlacement();

  int templateId_;
  HWND hwnd_ = nullptr;
  HICON icon_ = nullptr;

 private:
  // A decoded picture and its copy stretched to the client size (made at the first paint).
  struct Picture {
    ScopedBitmap source;
    ScopedBitmap fitted;
    SIZE fittedSize;
  };
  static INT_PTR CALLBACK Thunk(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  HBRUSH OnCtlColorStatic(HDC dc, HWND control);
  // Paints the part area of the client rectangle with the picture (nothing without one).
  void DrawBackground(HDC dc, const RECT& area);

  std::map<int, Picture> pictures_;
  Picture* background_ = nullptr;

  std::shared_ptr<DialogView> view_;
  std::set<int> transparentLabels_;
  bool unnamedLabelsTransparent_ = false;
};

}  // namespace corlinq::win
