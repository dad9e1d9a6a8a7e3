#include "ui/win/dialogs.h"

#include <commctrl.h>
#include <shlobj.h>

#include "base/win/wide.h"
#include "config/app_config.h"
#include "ui/install_options.h"
#include "ui/res/resource_ids.h"
#include "ui/skin_rules.h"
#include "ui/win/ui_hooks.h"

namespace corlinq::win {
namespace {

// Runs fn on a new thread whose handle is closed at once.
template <typename Fn>
void StartDetachedThread(Fn fn) {
  auto* task = new Fn(std::move(fn));
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* param) -> DWORD {
        std::unique_ptr<Fn> owned(static_cast<Fn*>(param));
        (*owned)();
        return 0;
      },
      task, 0, nullptr);
  if (thread) {
    CloseHandle(thread);
  } else {
    delete task;
  }
}

OptionPageHooks OptionHooks() {
  const UiHooks& ui = TheUiHooks();
  OptionPageHooks hooks;
  hooks.browserRunning = ui.browserRunning;
  hooks.endBrowser = ui.endBrowser;
  hooks.driveType = ui.driveType ? ui.driveType : DriveTypeOf;
  hooks.createDirectoryPath = ui.createDirectoryPath ? ui.createDirectoryPath : CreateDirectoryTree;
  return hooks;
}

}  // namespace

// ---- CGetInternetDlg ------------------------------------------------------------------------

struct CGetInternetDlg::Shared {
  Shared(std::shared_ptr<DialogView> v, VersionQueryHooks hooks)
      : view(std::move(v)), flow(*view, TheAppConfig(), std::move(hooks)) {}
  std::shared_ptr<DialogView> view;
  VersionQueryFlow flow;
};

CGetInternetDlg::CGetInternetDlg() : Dialog(IDD_GET_INTERNET) {
  VersionQueryHooks hooks;
  hooks.query = TheUiHooks().queryVersion;
  hooks.pause = [](int ms) { Sleep(static_cast<DWORD>(ms)); };
  hooks.runWizard = [] {
    CInstallDlg welcome;
    welcome.DoModal(nullptr);
  };
  shared_ = std::make_shared<Shared>(view(), std::move(hooks));
}

CGetInternetDlg::~CGetInternetDlg() = default;

int CGetInternetDlg::retryBudget() const { return shared_->flow.retryBudget(); }

BOOL CGetInternetDlg::OnInitDialog() {
  InitSkin(TheAppConfig().queryImageId);
  SetTransparentLabels({IDC_QUERY_STATUS}, false);
  shared_->flow.Begin();
  StartWorker();
  return TRUE;  // placed by the framework's centring, not topmost
}

void CGetInternetDlg::StartWorker() {
  StartDetachedThread([shared = shared_] { (void)shared->flow.RunWorker(); });
}

bool CGetInternetDlg::OnCommand(int id, int) {
  switch (id) {
    case IDCANCEL:
      ConfirmExit();
      return true;
    case IDC_RETRY:
      if (shared_->flow.OnRetry()) StartWorker();
      return true;
    default:
      return false;
  }
}

// ---- CInstallDlg ----------------------------------------------------------------------------

CInstallDlg::CInstallDlg() : Dialog(IDD_INSTALL) {}

BOOL CInstallDlg::OnInitDialog() {
  InitSkin(TheAppConfig().welcomeImageId);
  PlaceAtLastRect();
  return TRUE;
}

void CInstallDlg::OnMove(bool moving) {
  if (moving) RecordPlacement();
}

bool CInstallDlg::OnCommand(int id, int) {
  switch (id) {
    case IDOK: {
      ShowWindow(hwnd_, SW_HIDE);
      COptionDlg options;
      options.DoModal(nullptr);
      End(IDCANCEL);
      return true;
    }
    case IDCANCEL:
      ConfirmExit();
      return true;
    default:
      return false;
  }
}

// ---- COptionDlg -----------------------------------------------------------------------------

COptionDlg::COptionDlg() : Dialog(IDD_OPTION) {}

BOOL COptionDlg::OnInitDialog() {
  AppConfig& config = TheAppConfig();
  InitSkin(0);
  SetDlgItemTextW(hwnd_, IDC_SHORTCUT_LABEL, Utf8ToWide(ShortcutLabelText(config)).c_str());
  ShowWindow(Item(IDC_QUICK_LAUNCH), SW_HIDE);
  ShowWindow(Item(IDC_AUTOSTART), SW_HIDE);
  for (int id : {IDC_START_MENU, IDC_DESKTOP, IDC_AUTOSTART, IDC_QUICK_LAUNCH}) {
    SendMessageW(Item(id), BM_SETCHECK, BST_CHECKED, 0);
  }
  TickAllOptions(config);
  wchar_t programFiles[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, programFiles);
  SetDlgItemTextW(hwnd_, IDC_INSTALL_DIR,
                  Utf8ToWide(DefaultInstallDir(WideToUtf8(programFiles), config)).c_str());
  SetBackground(config.optionsImageId);
  PlaceAtLastRect();
  return TRUE;
}

void COptionDlg::OnMove(bool moving) {
  if (moving) RecordPlacement();
}

bool COptionDlg::OnCommand(int id, int notifyCode) {
  AppConfig& config = TheAppConfig();
  if (unsigned char* flag = OptionFlagFor(config, id)) {
    if (notifyCode == BN_CLICKED) {
      *flag = SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
    }
    return true;
  }
  switch (id) {
    case IDOK:
      if (OnOptionsNext(*view(), config, OptionHooks()) == NextStep::kProceed) {
        ShowWindow(hwnd_, SW_HIDE);
        CProgressDlg progress(ProgressMode::Install);
        progress.DoModal(nullptr);
        End(IDCANCEL);
      }
      return true;
    case IDCANCEL:
      ConfirmExit();
      return true;
    case IDC_BACK: {
      ShowWindow(hwnd_, SW_HIDE);
      CInstallDlg welcome;
      welcome.DoModal(nullptr);
      End(IDCANCEL);
      return true;
    }
    case IDC_BROWSE:
      Browse();
      return true;
    default:
      return false;
  }
}

void COptionDlg::Browse() {
  // The new-style folder browser needs COM on this thread (the wizard may run on a worker).
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::wstring title = Utf8ToWide(kBrowseTitle);
  BROWSEINFOW info{};
  info.hwndOwner = hwnd_;
  info.lpszTitle = title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
  if (PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info)) {
    wchar_t path[MAX_PATH] = {};
    if (!SHGetPathFromIDListW(chosen, path)) path[0] = L'\0';
    CoTaskMemFree(chosen);
    SetDlgItemTextW(hwnd_, IDC_INSTALL_DIR,
                    Utf8ToWide(BrowsedInstallDir(WideToUtf8(path), TheAppConfig())).c_str());
  }
  if (SUCCEEDED(com)) CoUninitialize();
}

// ---- CProgressDlg ---------------------------------------------------------------------------

CProgressDlg::CProgressDlg(ProgressMode mode) : Dialog(IDD_PROGRESS), mode_(mode) {}

CProgressDlg::~CProgressDlg() = default;

int CProgressDlg::workerDone() const { return session_ ? session_->workerDone.load() : 0; }

BOOL CProgressDlg::OnInitDialog() {
  const AppConfig& config = TheAppConfig();
  InitSkin(0);
  fileBar_.SubclassDlgItem(IDC_FILE_PROGRESS, hwnd_);
  totalBar_.SubclassDlgItem(IDC_TOTAL_PROGRESS, hwnd_);
  SetTransparentLabels({IDC_STATUS, IDC_FILE_PERCENT, IDC_TOTAL_PERCENT}, true);

  session_ = std::make_shared<ProgressSession>();
  session_->view = view();
  session_->mode = mode_;
  if (const ProgressRunFactory& create = TheUiHooks().createRun) run_ = create(mode_);
  pictureToggle_ = 0;
  SetDlgItemTextW(hwnd_, IDC_TOTAL_PERCENT, L"0%");
  SetBackground(config.progressImageA);
  if (run_) run_->Start(session_);
  SetTimer(hwnd_, 1, kPictureSwapMs, nullptr);
  if (mode_ == ProgressMode::Install) {
    PlaceAtLastRect();
  } else {
    PlaceCentred(true);
  }
  return TRUE;
}

void CProgressDlg::OnMove(bool moving) {
  if (moving) RecordPlacement();
}

void CProgressDlg::OnTimer(UINT_PTR) {
  const PictureSwap next = NextProgressPicture(pictureToggle_, TheAppConfig());
  pictureToggle_ = next.toggle;
  SetBackground(next.pictureId);
}

bool CProgressDlg::OnCommand(int id, int) {
  if (id != IDCANCEL) return false;
  if (!ConfirmCancelRun(*view(), workerDone(), TheAppConfig().downloaderTitle)) return true;
  KillTimer(hwnd_, 1);
  // The process ends after this dialog; a download under way must not leave its file behind.
  if (const auto& abandon = TheUiHooks().abandonRun) abandon();
  End(IDCANCEL);
  return true;
}

// ---- CUpdateDlg -----------------------------------------------------------------------------

CUpdateDlg::CUpdateDlg(int reinstallMode) : Dialog(IDD_UPDATE), reinstallMode_(reinstallMode) {}

BOOL CUpdateDlg::OnInitDialog() {
  InitSkin(UpdatePictureId(reinstallMode_, TheAppConfig()));
  PlaceCentred(false);
  return TRUE;
}

bool CUpdateDlg::OnCommand(int id, int) {
  if (id != IDOK) return false;  // "取消" ends the dialog with IDCANCEL, no question
  const UiHooks& hooks = TheUiHooks();
  if (hooks.browserRunning && hooks.browserRunning()) {
    if (view()->Ask(kCloseBrowserQuestion, TheAppConfig().productName, Buttons::kYesNo) != Answer::kYes) {
      return true;
    }
    if (hooks.endBrowser) hooks.endBrowser();
  }
  ShowWindow(hwnd_, SW_HIDE);
  CProgressDlg progress(ProgressMode::Update);
  progress.DoModal(nullptr);
  End(IDCANCEL);
  return true;
}

}  // namespace corlinq::win
