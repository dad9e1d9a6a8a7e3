// Test-only program: shows one of the downloader's dialogs on its own, with made-up hooks, so the
// dialogs can be looked at, screenshotted and driven by tools/ui-driver. Never shipped.
//   ui_gallery query [ok|noanswer|stalled|retry-ok]
//   ui_gallery install | option
//   ui_gallery progress [install|update|repair] [demo|static|done|failed|empty]
//   ui_gallery update [0|1]
// Option --browser pretends a web browser runs. Events go to stdout, one per line.
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "base/strings.h"
#include "base/win/wide.h"
#include "config/app_config.h"
#include "ui/res/resource_ids.h"
#include "ui/win/dialogs.h"
#include "ui/win/ui_hooks.h"

namespace {

using namespace corlinq;
using namespace corlinq::win;

void Event(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

VersionQueryFn FakeQuery(const std::string& behaviour) {
  auto attempts = std::make_shared<std::atomic<int>>(0);
  return [behaviour, attempts] {
    const int n = ++*attempts;
    Event(StrPrintf("query attempt %d", n));
    // Long enough for a driver to see the querying state (it is hidden right after an answer).
    Sleep(behaviour == "ok" ? 2000 : 300);
    VersionAnswer answer;
    if (behaviour == "noanswer" || (behaviour == "retry-ok" && n == 1)) {
      answer.kind = VersionAnswer::Kind::kNoAnswer;
    } else if (behaviour == "stalled") {
      answer.kind = VersionAnswer::Kind::kUnopenable;
    } else {
      answer = {VersionAnswer::Kind::kOk, "1.0.2.8", "https://127.0.0.1/assist/files"};
    }
    return answer;
  };
}

// A run that writes into the dialog the way the engine does.
class FakeRun : public ProgressRun {
 public:
  explicit FakeRun(std::string behaviour) : behaviour_(std::move(behaviour)) {}
  void Start(std::shared_ptr<ProgressSession> session) override {
    const std::string behaviour = behaviour_;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* param) -> DWORD {
          auto* args = static_cast<std::pair<std::shared_ptr<ProgressSession>, std::string>*>(param);
          Work(*args->first, args->second);
          delete args;
          return 0;
        },
        new std::pair<std::shared_ptr<ProgressSession>, std::string>(session, behaviour), 0, nullptr);
    if (thread) CloseHandle(thread);
  }

 private:
  static void Show(DialogView& view, int id, const std::string& text) {
    view.SetText(id, text);
    view.RefreshControl(id);
  }
  static void Work(ProgressSession& s, const std::string& behaviour) {
    DialogView& view = *s.view;
    if (behaviour == "empty") return;  // nothing written: empty ranges show the track only
    if (behaviour == "demo") {
      const int files = 8;
      view.SetProgressRange(IDC_TOTAL_PROGRESS, files);
      for (int f = 0; f < files; ++f) {
        Show(view, IDC_STATUS, StrPrintf("正在下载 file_%d.dll", f + 1));
        view.SetProgressRange(IDC_FILE_PROGRESS, 1000);
        for (int b = 0; b <= 1000; b += 250) {
          view.SetProgressPos(IDC_FILE_PROGRESS, static_cast<uint32_t>(b));
          Show(view, IDC_FILE_PERCENT, StrPrintf("%.2f%%", b / 10.0));
          Sleep(60);
        }
        view.SetProgressPos(IDC_TOTAL_PROGRESS, static_cast<uint32_t>(f + 1));
        Show(view, IDC_TOTAL_PERCENT, StrPrintf("%.2f%%", (f + 1) * 100.0 / files));
      }
      Show(view, IDC_STATUS, "下载完成");
      view.SetText(IDCANCEL, "下载完成");
      s.workerDone = 1;
      Event("run finished");
      return;
    }
    Show(view, IDC_STATUS, "正在下载 WebUI_867.exe");
    view.SetProgressRange(IDC_FILE_PROGRESS, 1000);
    view.SetProgressPos(IDC_FILE_PROGRESS, 500);
    Show(view, IDC_FILE_PERCENT, "50.00%");
    view.SetProgressRange(IDC_TOTAL_PROGRESS, 4);
    view.SetProgressPos(IDC_TOTAL_PROGRESS, 1);
    Show(view, IDC_TOTAL_PERCENT, "25.00%");
    if (behaviour == "done" || behaviour == "failed") {
      view.SetText(IDCANCEL, behaviour == "done" ? "下载完成" : "下载失败");
      s.workerDone = 1;
    }
    Event("run wrote its controls");
  }

  std::string behaviour_;
};

ProgressMode ModeFrom(const std::string& text) {
  if (text == "update") return ProgressMode::Update;
  if (text == "repair") return ProgressMode::Repair;
  return ProgressMode::Install;
}

void PrintChoices() {
  const AppConfig& c = TheAppConfig();
  Event("installDir=" + c.installDir);
  Event(StrPrintf("flags desktop=%d startmenu=%d quicklaunch=%d autostart=%d", c.optDesktopShortcut,
                  c.optStartMenuShortcut, c.optQuickLaunch, c.optAutoStart));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  bool browser = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = WideToUtf8(argv[i]);
    if (arg == "--browser") {
      browser = true;
    } else {
      args.push_back(arg);
    }
  }
  auto arg = [&](size_t i, const char* fallback) { return i < args.size() ? args[i] : std::string(fallback); };
  const std::string which = arg(0, "query");

  ApplyBankProfile();
  AppConfig& config = TheAppConfig();
  const std::string quitName = StrPrintf("qz_detect_tools_single_msgid%s_%d", config.familyWord.c_str(), config.bankId);
  SetQuitMessageId(RegisterWindowMessageW(Utf8ToWide(quitName).c_str()));

  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&icc);

  UiHooks hooks;
  hooks.queryVersion = FakeQuery(arg(1, "ok"));
  const std::string runBehaviour = which == "progress" ? arg(2, "demo") : "demo";
  hooks.createRun = [runBehaviour](ProgressMode mode) -> std::shared_ptr<ProgressRun> {
    Event(StrPrintf("run created mode=%d", static_cast<int>(mode)));
    PrintChoices();
    return std::make_shared<FakeRun>(runBehaviour);
  };
  hooks.browserRunning = [browser] { return browser; };
  hooks.endBrowser = [] { Event("browser ended"); };
  SetUiHooks(hooks);

  INT_PTR result = -1;
  if (which == "query") {
    CGetInternetDlg dlg;
    result = dlg.DoModal(nullptr);
    Event(StrPrintf("query server version=%s url=%s", config.serverVersion.c_str(), config.downloadBaseUrl.c_str()));
  } else if (which == "install") {
    CInstallDlg dlg;
    result = dlg.DoModal(nullptr);
  } else if (which == "option") {
    COptionDlg dlg;
    result = dlg.DoModal(nullptr);
    PrintChoices();
  } else if (which == "progress") {
    CProgressDlg dlg(ModeFrom(arg(1, "install")));
    result = dlg.DoModal(nullptr);
  } else if (which == "update") {
    CUpdateDlg dlg(std::atoi(arg(1, "0").c_str()));
    result = dlg.DoModal(nullptr);
  } else {
    std::fprintf(stderr, "unknown dialog %s\n", which.c_str());
    return 2;
  }
  const RECT last = LastDialogRect();
  Event(StrPrintf("last rect %ld,%ld,%ld,%ld", last.left, last.top, last.right, last.bottom));
  Event(StrPrintf("result=%d", static_cast<int>(result)));
  return 0;
}
