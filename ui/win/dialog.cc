#include "ui/win/dialog.h"
#include "ui/win/my_progress.h"

#include <commctrl.h>
#include <objidl.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <vector>

// GDI+'s headers use min and max unqualified; NOMINMAX keeps the macros away.
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

#include "base/win/wide.h"
#include "config/app_config.h"
#include "ui/res/resource_ids.h"
#include "ui/skin_rules.h"
#include "ui/win/ui_hooks.h"

namespace corlinq::win {
namespace {

constexpr UINT kRunOnDialogThread = kDialogCallMessage;

// Calls in flight through kRunOnDialogThread. The message carries a pointer, and any process
// may send any message to our windows: only pointers registered here are followed.
std::mutex g_callsMutex;
std::set<const void*> g_callsInFlight;

bool TakeCall(const void* call) {
  std::lock_guard<std::mutex> lock(g_callsMutex);
  return g_callsInFlight.erase(call) == 1;
}

std::atomic<UINT> g_quitMessageId{0};
std::mutex g_rectMutex;
RECT g_lastDialogRect{};

HINSTANCE Module() { return GetModuleHandleW(nullptr); }

std::wstring Wide(const std::string& text) { return Utf8ToWide(text); }

// Everything a worker does to a dialog goes through here: the call is carried out on the
// dialog's thread (sent, so it is done when this returns). Once the window is gone the calls
// reach nothing and reads give empty results.
class DialogViewWin : public DialogView {
 public:
  void Attach(HWND hwnd) {
    hwnd_ = hwnd;
    const std::lock_guard<std::mutex> lock(holdMutex_);
    widths_.clear();
  }

  // A label's new text is painted in the same call: the refresh that follows it (RefreshControl of
  // the same control, with no control shown, hidden or enabled in between; a bar's position
  // repaints only the bar) is then done already, and a progress step costs one round trip to the
  // dialog's thread instead of two.
  void SetText(int id, const std::string& text) override {
    const std::wstring wide = Wide(text);
    if (Hold([wide, id](HWND h) {
          SetDlgItemTextW(h, id, wide.c_str());
          if (IsLabel(GetDlgItem(h, id))) InvalidateControlOf(h, id);
        })) {
      return;
    }
    bool painted = false;
    Run([&](HWND h) {
      SetDlgItemTextW(h, id, wide.c_str());
      if (IsLabel(GetDlgItem(h, id))) {
        RefreshControlOf(h, id);
        painted = true;
      }
    });
    paintedText_ = painted ? id : kNone;
  }
  std::string GetText(int id) const override {
    EndHolding();
    std::string out;
    Run([&](HWND h) {
      HWND item = GetDlgItem(h, id);
      const int length = item ? GetWindowTextLengthW(item) : 0;
      std::wstring buffer(static_cast<size_t>(length) + 1, L'\0');
      const int got = item ? GetWindowTextW(item, buffer.data(), length + 1) : 0;
      buffer.resize(static_cast<size_t>(std::max(got, 0)));
      out = WideToUtf8(buffer);
    });
    return out;
  }
  void SetVisible(int id, bool visible) override {
    EndHolding();
    paintedText_ = kNone;
    Run([&](HWND h) { ShowWindow(GetDlgItem(h, id), visible ? SW_SHOW : SW_HIDE); });
  }
  bool IsVisible(int id) const override {
    EndHolding();
    bool visible = false;
    Run([&](HWND h) { visible = IsWindowVisible(GetDlgItem(h, id)) != FALSE; });
    return visible;
  }
  void SetEnabled(int id, bool enabled) override {
    EndHolding();
    paintedText_ = kNone;
    Run([&](HWND h) { EnableWindow(GetDlgItem(h, id), enabled); });
  }
  void RefreshControl(int id) override {
    if (Hold([id](HWND h) { InvalidateControlOf(h, id); })) return;
    if (paintedText_.exchange(kNone) == id) return;
    Run([&](HWND h) { RefreshControlOf(h, id); });
  }
  void SetProgressRange(int id, uint32_t max) override {
    HoldOrRun([id, max](HWND h) { SendDlgItemMessageW(h, id, PBM_SETRANGE32, 0, static_cast<LPARAM>(max)); });
  }
  void SetProgressPos(int id, uint32_t pos) override {
    HoldOrRun([id, pos](HWND h) { SendDlgItemMessageW(h, id, PBM_SETPOS, pos, 0); });
  }
  // The dialogs do not resize their controls: a width once read is kept (every download asks for
  // the bar's). A width does not depend on held updates, so reading one leaves a batch holding.
  int ControlWidth(int id) const override {
    {
      const std::lock_guard<std::mutex> lock(holdMutex_);
      if (const auto known = widths_.find(id); known != widths_.end()) return known->second;
    }
    int width = 0;
    Run([&](HWND h) {
      RECT client{};
      if (HWND item = GetDlgItem(h, id); item && GetClientRect(item, &client)) width = client.right - client.left;
    });
    if (width > 0) {
      const std::lock_guard<std::mutex> lock(holdMutex_);
      widths_[id] = width;
    }
    return width;
  }
  void ShowDialog(bool visible) override {
    EndHolding();
    paintedText_ = kNone;
    Run([&](HWND h) { ShowWindow(h, visible ? SW_SHOW : SW_HIDE); });
  }
  void EndDialog(int result) override {
    EndHolding();
    paintedText_ = kNone;
    Run([&](HWND h) { ::EndDialog(h, result); });
  }
  Answer Ask(const std::string& text, const std::string& caption, Buttons buttons) override {
    EndHolding();
    paintedText_ = kNone;
    UINT type = MB_OK;
    if (buttons == Buttons::kOkCancel) type = MB_OKCANCEL;
    if (buttons == Buttons::kYesNo) type = MB_YESNO;
    int answer = IDCANCEL;
    Run([&](HWND h) { answer = MessageBoxW(h, Wide(text).c_str(), Wide(caption).c_str(), type); });
    switch (answer) {
      case IDOK: return Answer::kOk;
      case IDYES: return Answer::kYes;
      case IDNO: return Answer::kNo;
      default: return Answer::kCancel;
    }
  }

  // A batch: the calls of the thread that began it are held and go to the dialog's thread
  // together, as one message; the labels they change are painted together, once.
  void BeginUpdates() override {
    const std::lock_guard<std::mutex> lock(holdMutex_);
    if (depth_++ == 0) holder_ = GetCurrentThreadId();
  }
  void ShowUpdates() override { Apply(/*paintNow=*/false); }
  void EndUpdates() override {
    {
      const std::lock_guard<std::mutex> lock(holdMutex_);
      if (depth_ == 0 || --depth_ > 0) return;
      holder_ = 0;
    }
    Apply(/*paintNow=*/true);
  }

  static bool IsLabel(HWND item) {
    wchar_t name[16] = {};
    return item && GetClassNameW(item, name, 16) > 0 && CompareStringOrdinal(name, -1, L"Static", -1, TRUE) == CSTR_EQUAL;
  }

  // Marks the dialog's background under a control (and the control) for the next paint; with
  // RDW_UPDATENOW in more, paints it now.
  static void InvalidateControlOf(HWND dialog, int id, UINT more = 0) {
    HWND item = GetDlgItem(dialog, id);
    if (!item) return;
    RECT rect;
    GetWindowRect(item, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    RedrawWindow(dialog, &rect, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | more);
  }

  static void RefreshControlOf(HWND dialog, int id) { InvalidateControlOf(dialog, id, RDW_UPDATENOW); }

 private:
  using Call = std::function<void(HWND)>;

  // Keeps call for the batch when this thread holds one.
  bool Hold(Call call) {
    const std::lock_guard<std::mutex> lock(holdMutex_);
    if (depth_ == 0 || holder_ != GetCurrentThreadId()) return false;
    held_.push_back(std::move(call));
    unshown_ = true;
    return true;
  }

  // The call held for the batch, or carried out now.
  void HoldOrRun(const Call& call) {
    if (!Hold(call)) Run(call);
  }

  // Any other call from the holding thread ends the batch's holding first, so the dialog sees
  // the calls in the order they were made.
  void EndHolding() const {
    bool holding = false;
    {
      const std::lock_guard<std::mutex> lock(holdMutex_);
      holding = depth_ > 0 && holder_ == GetCurrentThreadId();
      if (holding) {
        depth_ = 0;
        holder_ = 0;
      }
    }
    if (holding) Apply(/*paintNow=*/true);
  }

  // The held calls in one message; with paintNow everything they changed is painted before
  // this returns (otherwise when the dialog's thread next paints).
  void Apply(bool paintNow) const {
    std::vector<Call> calls;
    {
      const std::lock_guard<std::mutex> lock(holdMutex_);
      calls.swap(held_);
      if (calls.empty() && !(paintNow && unshown_)) return;
      if (paintNow) unshown_ = false;
    }
    paintedText_ = kNone;
    Run([&](HWND h) {
      {
        const DeferredBarPaints deferred;  // the bars are painted below, with everything else
        for (const Call& call : calls) call(h);
      }
      if (paintNow) RedrawWindow(h, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    });
  }

  void Run(const std::function<void(HWND)>& call) const {
    HWND h = hwnd_.load();
    if (!h || !IsWindow(h)) return;
    if (GetWindowThreadProcessId(h, nullptr) == GetCurrentThreadId()) {
      call(h);
      return;
    }
    std::function<void()> bound = [&call, h] { call(h); };
    {
      std::lock_guard<std::mutex> lock(g_callsMutex);
      g_callsInFlight.insert(&bound);
    }
    SendMessageW(h, kRunOnDialogThread, 0, reinterpret_cast<LPARAM>(&bound));
    (void)TakeCall(&bound);  // not delivered (the window went away meanwhile)
  }

  static constexpr int kNone = -1;
  std::atomic<HWND> hwnd_{nullptr};
  // The label whose text the last SetText painted, until another call changes the dialog.
  mutable std::atomic<int> paintedText_{kNone};
  mutable std::mutex holdMutex_;
  mutable int depth_ = 0;       // nesting of the batch under way
  mutable DWORD holder_ = 0;    // the thread whose calls it holds
  mutable std::vector<Call> held_;
  mutable bool unshown_ = false;  // calls of this batch not yet painted
  mutable std::map<int, int> widths_;  // control widths read so far
};

void EnsureGdiplus() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Started once for the life of the process; never shut down (threads may still paint).
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
  });
}

}  // namespace

void SetQuitMessageId(UINT id) { g_quitMessageId = id; }
UINT QuitMessageId() { return g_quitMessageId.load(); }

RECT LastDialogRect() {
  std::lock_guard<std::mutex> lock(g_rectMutex);
  return g_lastDialogRect;
}

void SetLastDialogRect(const RECT& rect) {
  std::lock_guard<std::mutex> lock(g_rectMutex);
  g_lastDialogRect = rect;
}

ScopedBitmap LoadPngResource(int id, const wchar_t* type) {
  HRSRC info = FindResourceW(Module(), MAKEINTRESOURCEW(id), type);
  if (!info) return {};
  HGLOBAL loaded = LoadResource(Module(), info);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  const DWORD size = SizeofResource(Module(), info);
  if (!bytes || size == 0) return {};

  HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
  if (!copy) return {};
  void* target = GlobalLock(copy);
  if (!target) {
    GlobalFree(copy);
    return {};
  }
  memcpy(target, bytes, size);
  GlobalUnlock(copy);
  IStream* stream = nullptr;
  if (FAILED(CreateStreamOnHGlobal(copy, TRUE, &stream))) {  // the stream frees the block
    GlobalFree(copy);
    return {};
  }
  EnsureGdiplus();
  ScopedBitmap result;
  if (Gdiplus::Bitmap* image = Gdiplus::Bitmap::FromStream(stream)) {
    HBITMAP bitmap = nullptr;
    if (image->GetLastStatus() == Gdiplus::Ok &&
        image->GetHBITMAP(Gdiplus::Color(255, 255, 255, 255), &bitmap) == Gdiplus::Ok) {
      result.reset(bitmap);
    }
    delete image;
  }
  stream->Release();
  return result;
}

bool ConfirmExit() {
  const std::wstring title = Wide(TheAppConfig().downloaderTitle);
  if (MessageBoxW(nullptr, Wide(kConfirmExitText).c_str(), title.c_str(), MB_YESNO | MB_TOPMOST) == IDYES) {
    ExitProcess(0);
  }
  return true;
}

Dialog::Dialog(int templateId) : templateId_(templateId), view_(std::make_shared<DialogViewWin>()) {}

Dialog::~Dialog() { static_cast<DialogViewWin*>(view_.get())->Attach(nullptr); }

INT_PTR Dialog::DoModal(HWND parent) {
  return DialogBoxParamW(Module(), MAKEINTRESOURCEW(templateId_), parent, &Dialog::Thunk,
                         reinterpret_cast<LPARAM>(this));
}

void Dialog::End(INT_PTR result) {
  if (hwnd_) EndDialog(hwnd_, result);
}

void Dialog::RefreshControl(int id) { DialogViewWin::RefreshControlOf(hwnd_, id); }

void Dialog::SetBackground(int pictureId) {
  // Each picture is decoded once per dialog; the swaps of the progress dialog reuse them.
  auto found = pictures_.find(pictureId);
  if (found == pictures_.end()) found = pictures_.emplace(pictureId, Picture{LoadPngResource(pictureId), {}, {}}).first;
  background_ = found->second.source ? &found->second : nullptr;
  if (hwnd_ && IsWindowVisible(hwnd_)) {
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  }
}

INT_PTR CALLBACK Dialog::Thunk(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const UINT quit = g_quitMessageId.load();
  if (quit != 0 && message == quit && wParam == 1) {
    if (const auto& abandon = TheUiHooks().abandonRun) abandon();
    ExitProcess(0);
  }
  if (message == kRunOnDialogThread) {
    auto* call = reinterpret_cast<std::function<void()>*>(lParam);
    if (!TakeCall(call)) return FALSE;
    (*call)();
    return TRUE;
  }
  Dialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Dialog*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, lParam);
    self->hwnd_ = hwnd;
    static_cast<DialogViewWin*>(self->view_.get())->Attach(hwnd);
  } else {
    self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (!self) return FALSE;
  const INT_PTR result = self->HandleMessage(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    static_cast<DialogViewWin*>(self->view_.get())->Attach(nullptr);
    self->hwnd_ = nullptr;
  }
  return result;
}

INT_PTR Dialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      RECT before;
      GetWindowRect(hwnd_, &before);
      const BOOL result = OnInitDialog();
      RECT after;
      GetWindowRect(hwnd_, &after);
      if (EqualRect(&before, &after) && !IsWindowVisible(hwnd_)) {
        // A dialog that did not place itself is centred in the work area, as the platform's
        // dialog framework does; the move is recorded like any other.
        RECT work;
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        const Origin o = CentredOrigin(work.right - work.left, work.bottom - work.top,
                                       after.right - after.left, after.bottom - after.top);
        SetWindowPos(hwnd_, nullptr, work.left + o.x, work.top + o.y, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      }
      return result;
    }
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (OnCommand(id, HIWORD(wParam))) return TRUE;
      // Esc and the close box end a dialog whose handlers leave IDCANCEL alone; Enter ends one
      // only when it has an OK button (the query and progress dialogs have none, so Enter
      // never closes them behind the worker's back).
      if (id == IDCANCEL || (id == IDOK && GetDlgItem(hwnd_, IDOK))) {
        End(id);
        return TRUE;
      }
      return FALSE;
    }
    case WM_PAINT:
      OnPaint();
      return TRUE;
    case WM_PRINTCLIENT: {
      // Lets PrintWindow capture the picture too.
      RECT client;
      GetClientRect(hwnd_, &client);
      DrawBackground(reinterpret_cast<HDC>(wParam), client);
      return TRUE;
    }
    case WM_CTLCOLORSTATIC: {
      HBRUSH brush = OnCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
      return reinterpret_cast<INT_PTR>(brush);
    }
    case WM_TIMER:
      OnTimer(wParam);
      return TRUE;
    case WM_MOVE:
      OnMove(false);
      return FALSE;
    case WM_MOVING:
      OnMove(true);
      return FALSE;
    default:
      return FALSE;
  }
}

bool Dialog::OnCommand(int, int) { return false; }

void Dialog::OnPaint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  DrawBackground(dc, paint.rcPaint);
  EndPaint(hwnd_, &paint);
}

void Dialog::DrawBackground(HDC dc, const RECT& area) {
  if (!background_) return;
  RECT client;
  GetClientRect(hwnd_, &client);
  Picture& picture = *background_;
  // The picture is stretched to the client size once (again only when that size changes);
  // every paint after that copies the part it needs.
  if (!picture.fitted || picture.fittedSize.cx != client.right || picture.fittedSize.cy != client.bottom) {
    // Made like the window's own surface, whatever DC this paint goes to (PrintWindow's too).
    HDC windowDc = GetDC(hwnd_);
    picture.fitted.reset(CreateCompatibleBitmap(windowDc, client.right, client.bottom));
    ReleaseDC(hwnd_, windowDc);
    picture.fittedSize = {client.right, client.bottom};
    if (!picture.fitted) return;
    ScopedMemoryDc target(CreateCompatibleDC(dc));
    ScopedMemoryDc source(CreateCompatibleDC(dc));
    ScopedSelect selectTarget(target.get(), picture.fitted.get());
    ScopedSelect selectSource(source.get(), picture.source.get());
    BITMAP info{};
    GetObjectW(picture.source.get(), sizeof info, &info);
    // Halftone keeps the captions in the pictures crisp when the client size differs a little.
    SetStretchBltMode(target.get(), HALFTONE);
    SetBrushOrgEx(target.get(), 0, 0, nullptr);
    StretchBlt(target.get(), 0, 0, client.right, client.bottom, source.get(), 0, 0, info.bmWidth, info.bmHeight,
               SRCCOPY);
  }
  ScopedMemoryDc memory(CreateCompatibleDC(dc));
  ScopedSelect select(memory.get(), picture.fitted.get());
  BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, memory.get(), area.left, area.top,
         SRCCOPY);
}

void Dialog::OnMove(bool) { RecordPlacement(); }

void Dialog::RecordPlacement() {
  RECT rect;
  if (GetWindowRect(hwnd_, &rect)) SetLastDialogRect(rect);
}

void Dialog::InitSkin(int pictureId) {
  if (HMENU menu = GetSystemMenu(hwnd_, FALSE)) {
    wchar_t about[128] = {};
    if (LoadStringW(Module(), IDS_ABOUTBOX, about, 128) > 0) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about);
    }
  }
  const AppConfig& config = TheAppConfig();
  icon_ = LoadIconW(Module(), MAKEINTRESOURCEW(config.iconId));
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  SetWindowTextW(hwnd_, Wide(config.downloaderTitle).c_str());
  if (pictureId != 0) SetBackground(pictureId);
}

void Dialog::PlaceAtLastRect() {
  const RECT last = LastDialogRect();
  SetWindowPos(hwnd_, HWND_TOPMOST, last.left, last.top, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW | SWP_NOOWNERZORDER);
}

void Dialog::PlaceCentred(bool byClientRect) {
  RECT rect;
  if (byClientRect) {
    GetClientRect(hwnd_, &rect);
  } else {
    GetWindowRect(hwnd_, &rect);
  }
  const Origin o = CentredOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                 rect.right - rect.left, rect.bottom - rect.top);
  SetWindowPos(hwnd_, HWND_TOPMOST, o.x, o.y, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW | SWP_NOOWNERZORDER);
}

void Dialog::SetTransparentLabels(std::set<int> ids, bool unnamedLabelsToo) {
  transparentLabels_ = std::move(ids);
  unnamedLabelsTransparent_ = unnamedLabelsToo;
}

HBRUSH Dialog::OnCtlColorStatic(HDC dc, HWND control) {
  const int id = GetDlgCtrlID(control);
  const bool unnamed = static_cast<WORD>(id) == 0xFFFF;
  if (transparentLabels_.count(id) == 0 && !(unnamed && unnamedLabelsTransparent_)) return nullptr;
  SetBkMode(dc, TRANSPARENT);
  return static_cast<HBRUSH>(GetStockObject(HOLLOW_BRUSH));
}

}  // namespace corlinq::win
