// ui-driver: finds the downloader's dialogs and message boxes on the desktop and works them as a
// user would (read, click, tick, type, answer, screenshot). Exit code 0 on success, 1 when the
// thing asked for is not there (or not so), 2 on bad usage.
//
// A dialog is named by its caption (UTF-8), by a template id (130, 132, 134, 135, 139: picks the
// dialog by its controls), or by both as CAPTION#TEMPLATE. Only visible dialogs count; message
// boxes are found separately by their caption.
//
//   ui-driver wait-dialog DIALOG [timeout_ms]        wait until the dialog shows
//   ui-driver wait-gone DIALOG [timeout_ms]          wait until no such dialog shows
//   ui-driver text DIALOG ID                         print a control's text
//   ui-driver visible DIALOG ID                      exit 0 when the control is visible
//   ui-driver enabled DIALOG ID                      exit 0 when the control is enabled
//   ui-driver checked DIALOG ID                      exit 0 when the box is ticked
//   ui-driver click DIALOG ID                        press a button (posted, returns at once)
//   ui-driver press DIALOG enter|esc                 the command the Enter or Esc key gives
//   ui-driver check DIALOG ID 0|1                    set a check box and notify the dialog
//   ui-driver set-text DIALOG ID TEXT                replace a control's text
//   ui-driver rect DIALOG                            print the window rectangle
//   ui-driver move DIALOG X Y                        drag the dialog's top-left corner to X Y
//                                                    (moves it, with WM_MOVING as a drag sends)
//   ui-driver size DIALOG ID                         print a control's client width and height
//   ui-driver pixel DIALOG ID X Y                    print the colour (RRGGBB) at a control's
//                                                    client point (ID 0: the dialog's client)
//   ui-driver screenshot DIALOG OUT.png              save the window as a PNG
//   ui-driver watch DIALOG OUT.png ID... [-- timeout_ms]
//                                                    wait for the dialog, follow it until it is
//                                                    gone (timeout_ms for both): print
//                                                    the controls' last texts (one a line) and
//                                                    save the last frame it showed as a PNG
//                                                    (each change of the texts, timed, on stderr)
//   ui-driver msgbox-text CAPTION [timeout_ms]       wait for a message box, print its text
//   ui-driver answer-msgbox CAPTION yes|no|ok|cancel [timeout_ms]
//   ui-driver no-msgbox CAPTION                      exit 0 when no such message box shows
//   ui-driver broadcast MESSAGE_NAME WPARAM          post a registered message to all windows
//   ui-driver list                                   print the visible top-level windows
#include <windows.h>
#include <objidl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

#include "base/win/wide.h"

namespace {

using corlinq::win::Utf8ToWide;
using corlinq::win::WideToUtf8;

constexpr DWORD kDefaultTimeoutMs = 10000;

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  return name;
}

// WM_GETTEXT, not GetWindowText: for another process's controls (edit boxes) the latter only
// reads the window's caption field.
std::wstring TextOf(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                      5000, &got);
  text.resize(std::min<size_t>(got, length));
  return text;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> out;
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM param) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&out));
  return out;
}

std::vector<HWND> TopLevelDialogs() {
  std::vector<HWND> out;
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        if (IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770") {
          reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&out));
  return out;
}

// A message box has a static text (id 100 in Wine, 0xFFFF in Windows) and none of the
// downloader's own control ids (1000 and up; 1088 is the box's icon).
bool IsMessageBox(HWND hwnd) {
  bool text = false;
  for (HWND child : Children(hwnd)) {
    const int id = GetDlgCtrlID(child) & 0xFFFF;
    if (id >= 1000 && id != 1088 && id != 0xFFFF) return false;
    if ((id == 100 || id == 0xFFFF) && ClassOf(child) == L"Static") text = true;
  }
  return text;
}

bool HasControl(HWND dialog, int id, const wchar_t* text = nullptr) {
  HWND item = GetDlgItem(dialog, id);
  return item && (!text || TextOf(item) == text);
}

bool MatchesTemplate(HWND dialog, int templateId) {
  switch (templateId) {
    case 130: return HasControl(dialog, 1030);
    case 132: return HasControl(dialog, 1, L"\u5b89\u88c5");  // 安装
    case 134: return HasControl(dialog, 1017);
    case 135: return HasControl(dialog, 1021);
    case 139: return HasControl(dialog, 1, L"\u786e\u5b9a");  // 确定
    default: return false;
  }
}

struct Selector {
  std::wstring caption;  // empty: any
  int templateId = 0;    // 0: any
};

Selector ParseSelector(const std::string& text) {
  Selector s;
  std::string caption = text;
  const size_t hash = text.rfind('#');
  std::string tail = hash == std::string::npos ? text : text.substr(hash + 1);
  const bool numeric = !tail.empty() && std::all_of(tail.begin(), tail.end(), ::isdigit);
  if (numeric && (hash != std::string::npos || tail.size() == 3)) {
    s.templateId = std::atoi(tail.c_str());
    caption = hash == std::string::npos ? "" : text.substr(0, hash);
  }
  s.caption = Utf8ToWide(caption);
  return s;
}

HWND FindDialog(const Selector& s) {
  for (HWND hwnd : TopLevelDialogs()) {
    if (IsMessageBox(hwnd)) continue;
    if (!s.caption.empty() && TextOf(hwnd) != s.caption) continue;
    if (s.templateId != 0 && !MatchesTemplate(hwnd, s.templateId)) continue;
    return hwnd;
  }
  return nullptr;
}

HWND FindMessageBox(const std::wstring& caption) {
  for (HWND hwnd : TopLevelDialogs()) {
    if (IsMessageBox(hwnd) && TextOf(hwnd) == caption) return hwnd;
  }
  return nullptr;
}

template <typename Find>
HWND WaitFor(Find find, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (HWND hwnd = find()) return hwnd;
    if (GetTickCount64() >= end) return nullptr;
    Sleep(50);
  }
}

void Print(const std::wstring& text) { std::printf("%s\n", WideToUtf8(text).c_str()); }

int Fail(const std::string& why) {
  std::fprintf(stderr, "ui-driver: %s\n", why.c_str());
  return 1;
}

bool PngEncoder(CLSID* clsid) {
  UINT count = 0, size = 0;
  Gdiplus::GetImageEncodersSize(&count, &size);
  if (size == 0) return false;
  std::vector<BYTE> buffer(size);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
  Gdiplus::GetImageEncoders(count, size, codecs);
  for (UINT i = 0; i < count; ++i) {
    if (std::wcscmp(codecs[i].MimeType, L"image/png") == 0) {
      *clsid = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}

// The window as it is on screen now, into a new bitmap (the caller deletes it).
HBITMAP CaptureWindow(HWND hwnd) {
  RECT rect;
  if (!GetWindowRect(hwnd, &rect)) return nullptr;
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return bitmap;
}

// Writes the bitmap as a PNG and deletes it.
int SavePng(HBITMAP bitmap, const std::string& out) {
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  CLSID png;
  bool saved = false;
  if (bitmap && PngEncoder(&png)) {
    Gdiplus::Bitmap image(bitmap, nullptr);
    saved = image.Save(Utf8ToWide(out).c_str(), &png, nullptr) == Gdiplus::Ok;
  }
  Gdiplus::GdiplusShutdown(token);
  if (bitmap) DeleteObject(bitmap);
  return saved ? 0 : Fail("cannot write " + out);
}

int Screenshot(HWND hwnd, const std::string& out) {
  SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  Sleep(300);
  return SavePng(CaptureWindow(hwnd), out);
}

// Follows a dialog until it is gone (or the time is up), reading the controls' texts and taking
// the window as it shows, without making it repaint, every 50 ms. What it printed last and the
// last frame are what a user saw last. Exit code 1 when the dialog was still there at the end.
int Watch(HWND dialog, const std::string& out, const std::vector<int>& ids, DWORD timeoutMs) {
  std::vector<HWND> items;
  for (const int id : ids) {
    HWND item = GetDlgItem(dialog, id);
    if (!item) return Fail("no control " + std::to_string(id));
    items.push_back(item);
  }
  SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  auto shows = [dialog] { return IsWindow(dialog) && IsWindowVisible(dialog); };
  std::vector<std::wstring> texts(items.size());
  HBITMAP frame = nullptr;
  const ULONGLONG start = GetTickCount64();
  const ULONGLONG end = start + timeoutMs;
  while (shows() && GetTickCount64() < end) {
    std::vector<std::wstring> now;
    for (HWND item : items) now.push_back(TextOf(item));
    HBITMAP taken = CaptureWindow(dialog);
    if (!shows()) {  // only a reading of a window that was still there after it counts
      if (taken) DeleteObject(taken);
      break;
    }
    if (now != texts) {  // each change, with its time, on stderr
      std::string line = "+" + std::to_string(GetTickCount64() - start) + "ms";
      for (const std::wstring& text : now) line += " | " + WideToUtf8(text);
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    texts = std::move(now);
    if (frame) DeleteObject(frame);
    frame = taken;
    Sleep(50);
  }
  const bool gone = !shows();
  for (const std::wstring& text : texts) Print(text);
  const int saved = SavePng(frame, out);
  return gone ? saved : Fail("the dialog still shows");
}

int List() {
  for (HWND hwnd : TopLevelDialogs()) {
    std::printf("%p %s%s\n", static_cast<void*>(hwnd), WideToUtf8(TextOf(hwnd)).c_str(),
                IsMessageBox(hwnd) ? " [message box]" : "");
    for (HWND child : Children(hwnd)) {
      std::printf("  %d %s \"%s\"%s\n", GetDlgCtrlID(child), WideToUtf8(ClassOf(child)).c_str(),
                  WideToUtf8(TextOf(child)).c_str(), IsWindowVisible(child) ? "" : " (hidden)");
    }
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr, "usage: ui-driver COMMAND ... (see the comment at the top of ui_driver.cc)\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> a;
  for (int i = 1; i < argc; ++i) a.push_back(WideToUtf8(argv[i]));
  if (a.empty()) return Usage();
  const std::string& command = a[0];
  auto timeoutAt = [&](size_t i) { return i < a.size() ? static_cast<DWORD>(std::stoul(a[i])) : kDefaultTimeoutMs; };

  if (command == "list") return List();
  if (command == "broadcast" && a.size() == 3) {
    const UINT message = RegisterWindowMessageW(Utf8ToWide(a[1]).c_str());
    return message && PostMessageW(HWND_BROADCAST, message, std::stoul(a[2]), 0) ? 0 : Fail("broadcast failed");
  }
  if (command == "msgbox-text" || command == "answer-msgbox" || command == "no-msgbox") {
    if (a.size() < 2) return Usage();
    const std::wstring caption = Utf8ToWide(a[1]);
    if (command == "no-msgbox") return FindMessageBox(caption) ? Fail("message box shows") : 0;
    const DWORD timeout = timeoutAt(command == "msgbox-text" ? 2 : 3);
    HWND box = WaitFor([&] { return FindMessageBox(caption); }, timeout);
    if (!box) return Fail("no message box " + a[1]);
    if (command == "msgbox-text") {
      for (HWND child : Children(box)) {
        const int id = GetDlgCtrlID(child) & 0xFFFF;
        if ((id == 100 || id == 0xFFFF) && ClassOf(child) == L"Static") Print(TextOf(child));
      }
      return 0;
    }
    if (a.size() < 3) return Usage();
    const std::string& b = a[2];
    const int button = b == "yes" ? IDYES : b == "no" ? IDNO : b == "ok" ? IDOK : b == "cancel" ? IDCANCEL : 0;
    if (button == 0) return Usage();
    HWND item = GetDlgItem(box, button);
    if (!item) return Fail("the message box has no " + b + " button");
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(item));
    WaitFor([&] { return IsWindow(box) ? nullptr : box; }, 5000);
    return 0;
  }

  if (a.size() < 2) return Usage();
  const Selector selector = ParseSelector(a[1]);
  if (command == "wait-dialog") {
    return WaitFor([&] { return FindDialog(selector); }, timeoutAt(2)) ? 0 : Fail("no dialog " + a[1]);
  }
  if (command == "wait-gone") {
    HWND gone = WaitFor([&]() -> HWND { return FindDialog(selector) ? nullptr : GetDesktopWindow(); }, timeoutAt(2));
    return gone ? 0 : Fail("dialog " + a[1] + " still shows");
  }
  if (command == "watch" && a.size() >= 4) {
    std::vector<int> ids;
    DWORD timeout = kDefaultTimeoutMs;
    for (size_t i = 3; i < a.size(); ++i) {
      if (a[i] == "--") {
        timeout = timeoutAt(i + 1);
        break;
      }
      ids.push_back(std::stoi(a[i]));
    }
    // Waits for the dialog itself, so that a short run is followed from its first moment.
    const ULONGLONG start = GetTickCount64();
    HWND watched = WaitFor([&] { return FindDialog(selector); }, timeout);
    if (!watched) return Fail("no dialog " + a[1]);
    const ULONGLONG waited = GetTickCount64() - start;
    return Watch(watched, a[2], ids, timeout > waited ? static_cast<DWORD>(timeout - waited) : 0);
  }
  HWND dialog = FindDialog(selector);
  if (!dialog) return Fail("no dialog " + a[1]);
  if (command == "rect") {
    RECT r;
    GetWindowRect(dialog, &r);
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
    return 0;
  }
  if (command == "move" && a.size() == 4) {
    RECT r;
    GetWindowRect(dialog, &r);
    const int x = std::stoi(a[2]), y = std::stoi(a[3]);
    RECT moving{x, y, x + r.right - r.left, y + r.bottom - r.top};
    SendMessageW(dialog, WM_MOVING, WMSZ_TOPLEFT, reinterpret_cast<LPARAM>(&moving));
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(dialog, WM_MOVING, WMSZ_TOPLEFT, reinterpret_cast<LPARAM>(&moving));
    return 0;
  }
  if (command == "press" && a.size() == 3) {
    // What the dialog manager posts for Enter (the default id, IDOK here) and Esc.
    const int id = a[2] == "enter" ? IDOK : a[2] == "esc" ? IDCANCEL : 0;
    if (id == 0) return Usage();
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    return 0;
  }
  if (command == "screenshot" && a.size() == 3) return Screenshot(dialog, a[2]);

  if (a.size() < 3) return Usage();
  const int id = std::stoi(a[2]);
  HWND item = id == 0 ? dialog : GetDlgItem(dialog, id);
  if (!item) return Fail("no control " + a[2]);
  if (command == "text") {
    Print(TextOf(item));
    return 0;
  }
  if (command == "size") {
    RECT r;
    GetClientRect(item, &r);
    std::printf("%ld %ld\n", r.right, r.bottom);
    return 0;
  }
  if (command == "visible") return IsWindowVisible(item) ? 0 : 1;
  if (command == "enabled") return IsWindowEnabled(item) ? 0 : 1;
  if (command == "checked") return SendMessageW(item, BM_GETCHECK, 0, 0) == BST_CHECKED ? 0 : 1;
  if (command == "click") {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(item));
    return 0;
  }
  if (command == "check" && a.size() == 4) {
    SendMessageW(item, BM_SETCHECK, a[3] == "1" ? BST_CHECKED : BST_UNCHECKED, 0);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(item));
    return 0;
  }
  if (command == "set-text" && a.size() == 4) {
    return SendMessageW(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Utf8ToWide(a[3]).c_str())) ? 0 : 1;
  }
  if (command == "pixel" && a.size() == 5) {
    POINT p{std::stoi(a[3]), std::stoi(a[4])};
    ClientToScreen(item, &p);
    HDC screen = GetDC(nullptr);
    const COLORREF c = GetPixel(screen, p.x, p.y);
    ReleaseDC(nullptr, screen);
    std::printf("%02X%02X%02X\n", GetRValue(c), GetGValue(c), GetBValue(c));
    return 0;
  }
  return Usage();
}
