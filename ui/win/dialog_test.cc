// The dialog layer under Wine: the resources as the dialogs load them, and the dialog view used
// from a worker thread while the dialog runs its modal loop on this one.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <thread>

#include "base/win/wide.h"
#include "config/app_config.h"
#include "ui/res/resource_ids.h"
#include "ui/win/dialog.h"

namespace corlinq::win {
namespace {

TEST(DialogResourcesTest, PicturesDecodeAtTheirSizes) {
  struct Case {
    int id, width, height;
  };
  const Case cases[] = {{174, 588, 358}, {175, 588, 358}, {176, 600, 365}, {177, 588, 358},
                        {178, 588, 358}, {180, 420, 220}, {184, 420, 220}};
  for (const Case& c : cases) {
    ScopedBitmap bitmap = LoadPngResource(c.id);
    ASSERT_TRUE(bitmap) << c.id;
    BITMAP info{};
    ASSERT_NE(GetObjectW(bitmap.get(), sizeof info, &info), 0);
    EXPECT_EQ(info.bmWidth, c.width) << c.id;
    EXPECT_EQ(info.bmHeight, c.height) << c.id;
  }
  EXPECT_FALSE(LoadPngResource(999)) << "a missing picture gives no bitmap";
}

TEST(DialogResourcesTest, TileIconStringAndManifest) {
  HINSTANCE module = GetModuleHandleW(nullptr);
  ScopedBitmap tile(static_cast<HBITMAP>(
      LoadImageW(module, MAKEINTRESOURCEW(IDB_PROGRESS_FILL), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
  ASSERT_TRUE(tile);
  DIBSECTION dib{};
  ASSERT_NE(GetObjectW(tile.get(), sizeof dib, &dib), 0);
  EXPECT_EQ(dib.dsBm.bmWidth, 25);
  EXPECT_EQ(dib.dsBm.bmHeight, 20);
  EXPECT_EQ(dib.dsBmih.biBitCount, 8);

  EXPECT_NE(LoadIconW(module, MAKEINTRESOURCEW(IDR_MAINFRAME)), nullptr);
  wchar_t about[64] = {};
  ASSERT_GT(LoadStringW(module, IDS_ABOUTBOX, about, 64), 0);
  EXPECT_EQ(WideToUtf8(about), "关于 Downloader(&A)...");

  // The manifest asks for administrator rights and the version 6 controls.
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const char* text = static_cast<const char*>(LockResource(LoadResource(module, found)));
  const std::string manifest(text, SizeofResource(module, found));
  EXPECT_NE(manifest.find("level=\"requireAdministrator\" uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  EXPECT_EQ(manifest.find("compatibility"), std::string::npos);
}

// A bare progress dialog (template 135) whose worker is the test body.
class ProbeDialog : public Dialog {
 public:
  explicit ProbeDialog(std::function<void(DialogView&)> work) : Dialog(IDD_PROGRESS), work_(std::move(work)) {}

 protected:
  BOOL OnInitDialog() override {
    InitSkin(177);
    std::thread([view = view(), work = work_] { work(*view); }).detach();
    return TRUE;
  }

 private:
  std::function<void(DialogView&)> work_;
};

TEST(DialogViewTest, WorkerCallsAreCarriedOutOnTheDialogThreadBeforeTheyReturn) {
  ApplyBankProfile();
  std::string statusSeen, percentSeen;
  bool hiddenSeen = true, shownSeen = false;
  LRESULT rangeSeen = 0, posSeen = 0;
  int widthSeen = -1, barWidth = -2, absentWidth = -1;
  std::shared_ptr<DialogView> kept;
  HWND dialogHwnd = nullptr;
  const DWORD dialogThread = GetCurrentThreadId();
  DWORD ranOn = 0;
  LRESULT foreignCall = -1;

  ProbeDialog dialog([&](DialogView& view) {
    // The worker starts while the dialog is being made; a control's visibility includes its
    // dialog's, so wait (bounded) until the dialog is on screen.
    for (int i = 0; i < 500; ++i) {
      HWND shown = FindWindowW(L"#32770", Utf8ToWide(TheAppConfig().downloaderTitle).c_str());
      if (shown != nullptr && IsWindowVisible(shown)) break;
      Sleep(10);
    }
    view.SetText(1020, "正在下载 Digest.xml");
    statusSeen = view.GetText(1020);
    view.SetVisible(1023, false);
    hiddenSeen = view.IsVisible(1023);
    view.SetVisible(1023, true);
    shownSeen = view.IsVisible(1023);
    view.SetProgressRange(1021, 400);
    view.SetProgressPos(1021, 100);
    view.RefreshControl(1020);
    percentSeen = view.GetText(1024);
    dialogHwnd = FindWindowW(L"#32770", Utf8ToWide(TheAppConfig().downloaderTitle).c_str());
    rangeSeen = SendDlgItemMessageW(dialogHwnd, 1021, PBM_GETRANGE, FALSE, 0);
    posSeen = SendDlgItemMessageW(dialogHwnd, 1021, PBM_GETPOS, 0, 0);
    ranOn = GetWindowThreadProcessId(dialogHwnd, nullptr);
    widthSeen = view.ControlWidth(1021);
    RECT bar{};
    if (GetClientRect(GetDlgItem(dialogHwnd, 1021), &bar)) barWidth = bar.right - bar.left;
    absentWidth = view.ControlWidth(4242);
    // Anyone may send the view's private message; a pointer the view did not send is ignored.
    foreignCall = SendMessageW(dialogHwnd, kDialogCallMessage, 0, 0x1234);
    view.EndDialog(7);
  });
  kept = dialog.view();
  EXPECT_EQ(dialog.DoModal(nullptr), 7);
  EXPECT_EQ(ranOn, dialogThread);
  EXPECT_EQ(statusSeen, "正在下载 Digest.xml");
  EXPECT_EQ(percentSeen, "0%");
  EXPECT_FALSE(hiddenSeen);
  EXPECT_TRUE(shownSeen);
  EXPECT_EQ(rangeSeen, 400);
  EXPECT_EQ(posSeen, 100);
  EXPECT_EQ(foreignCall, 0);
  // The bar's width in pixels, as the progress throttle needs it; 0 for no such control.
  EXPECT_GT(barWidth, 0);
  EXPECT_EQ(widthSeen, barWidth);
  EXPECT_EQ(absentWidth, 0);

  // After the dialog ended the view reaches nothing and reads give nothing.
  kept->SetText(1020, "late");
  EXPECT_EQ(kept->GetText(1020), "");
  EXPECT_FALSE(kept->IsVisible(1020));
  EXPECT_EQ(kept->ControlWidth(1021), 0);
}

// In a batch the worker's updates wait until it shows or ends the batch, or calls anything else;
// another thread's calls are not held.
TEST(DialogViewTest, BatchedUpdatesWaitForTheBatchToBeShownOrEnded) {
  ApplyBankProfile();
  struct Seen {
    std::wstring heldText, shownText, otherThreadText, readBack;
    LRESULT heldPos = -1, endedPos = -1;
  } seen;
  ProbeDialog dialog([&seen](DialogView& view) {
    HWND h = nullptr;
    for (int i = 0; i < 500 && !(h && IsWindowVisible(h)); ++i, Sleep(10)) {
      h = FindWindowW(L"#32770", Utf8ToWide(TheAppConfig().downloaderTitle).c_str());
    }
    const auto text = [h](int id) {
      wchar_t buffer[64] = {};
      GetDlgItemTextW(h, id, buffer, 64);
      return std::wstring(buffer);
    };
    view.SetText(1020, "before");
    view.SetProgressRange(1021, 10);
    {
      const ProgressBatch batch(view);
      view.SetText(1020, "held");
      view.SetProgressPos(1021, 4);
      seen.heldText = text(1020);
      seen.heldPos = SendDlgItemMessageW(h, 1021, PBM_GETPOS, 0, 0);
      std::thread([&view] { view.SetText(1024, "other"); }).join();
      seen.otherThreadText = text(1024);
      view.ShowUpdates();
      seen.shownText = text(1020);
      view.SetProgressPos(1021, 9);
    }
    seen.endedPos = SendDlgItemMessageW(h, 1021, PBM_GETPOS, 0, 0);
    {
      const ProgressBatch batch(view);
      view.SetText(1020, "read back");
      seen.readBack = Utf8ToWide(view.GetText(1020));
    }
    view.EndDialog(1);
  });
  EXPECT_EQ(dialog.DoModal(nullptr), 1);
  EXPECT_EQ(seen.heldText, L"before");
  EXPECT_EQ(seen.heldPos, 0);
  EXPECT_EQ(seen.otherThreadText, L"other");
  EXPECT_EQ(seen.shownText, L"held");
  EXPECT_EQ(seen.endedPos, 9);
  EXPECT_EQ(seen.readBack, L"read back");
}

TEST(DialogViewTest, RememberedRectangleFollowsTheLastMove) {
  SetLastDialogRect(RECT{10, 20, 610, 400});
  const RECT r = LastDialogRect();
  EXPECT_EQ(r.left, 10);
  EXPECT_EQ(r.bottom, 400);
}

}  // namespace
}  // namespace corlinq::win
