#pragma once
// The downloader's five dialogs. Each runs modally with no parent window; the wizard and the
// progress dialog nest (each step hides the current dialog, runs the next one and ends the
// current one when it returns).
#include <windows.h>

#include <memory>

#include "ui/progress_run.h"
#include "ui/version_query_flow.h"
#include "ui/win/dialog.h"
#include "ui/win/my_progress.h"

namespace corlinq::win {

// Version query (template 130): queries on a worker thread, Retry at most twice, then the wizard.
class CGetInternetDlg : public Dialog {
 public:
  explicit CGetInternetDlg();
  ~CGetInternetDlg() override;
  [[nodiscard]] int retryBudget() const;

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(int id, int notifyCode) override;

 private:
  struct Shared;
  void StartWorker();
  std::shared_ptr<Shared> shared_;
};

// Welcome page (template 132).
class CInstallDlg : public Dialog {
 public:
  CInstallDlg();

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(int id, int notifyCode) override;
  void OnMove(bool moving) override;
};

// Options page (template 134).
class COptionDlg : public Dialog {
 public:
  COptionDlg();

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(int id, int notifyCode) override;
  void OnMove(bool moving) override;

 private:
  void Browse();
};

// Progress of one run (template 135).
class CProgressDlg : public Dialog {
 public:
  explicit CProgressDlg(ProgressMode mode);
  ~CProgressDlg() override;
  [[nodiscard]] int workerDone() const;
  [[nodiscard]] ProgressMode mode() const { return mode_; }

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(int id, int notifyCode) override;
  void OnTimer(UINT_PTR id) override;
  void OnMove(bool moving) override;

 private:
  ProgressMode mode_;
  int pictureToggle_ = 0;
  std::shared_ptr<ProgressSession> session_;
  std::shared_ptr<ProgressRun> run_;
  CMyProgress fileBar_;
  CMyProgress totalBar_;
};

// Update or reinstall question (template 139).
class CUpdateDlg : public Dialog {
 public:
  explicit CUpdateDlg(int reinstallMode);

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(int id, int notifyCode) override;

 private:
  int reinstallMode_;
};

}  // namespace corlinq::win
