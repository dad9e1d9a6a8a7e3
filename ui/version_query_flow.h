#pragma once
// The version-query dialog's logic: one query per worker, the Retry budget, the states the
// dialog shows, and the hand-over to the install wizard.
#include <atomic>
#include <functional>
#include <string>

#include "config/app_config.h"
#include "ui/dialog_view.h"

namespace corlinq {

inline constexpr int kQueryStatusId = 1029;
inline constexpr int kRetryButtonId = 1030;
inline constexpr char kQueryingText[] = "正在获取版本信息...";
inline constexpr char kNoAnswerText[] = "服务器没响应";
inline constexpr int kRetryBudget = 2;
inline constexpr int kWizardPauseMs = 500;

// What one version query gave.
struct VersionAnswer {
  enum class Kind {
    kNoAnswer,    // no server answered, or the answer was empty
    kUnopenable,  // an answer came but could not be opened, or is not a JSON object of texts
    kOk,          // "v" and "url" of the reply (empty when absent)
  };
  Kind kind = Kind::kNoAnswer;
  std::string version;
  std::string url;
};

// Sends the query to the configured servers and opens the reply. Runs on the worker thread.
using VersionQueryFn = std::function<VersionAnswer()>;

enum class QueryState { kQuerying, kNoAnswer, kStalled, kDone };

struct VersionQueryHooks {
  VersionQueryFn query;
  std::function<void(int ms)> pause;  // the pause before the wizard
  std::function<void()> runWizard;    // runs the welcome dialog modally, returns when it ends
};

class VersionQueryFlow {
 public:
  VersionQueryFlow(DialogView& view, AppConfig& config, VersionQueryHooks hooks);

  // Dialog initialisation: Retry hidden, budget full.
  void Begin();
  // One worker: shows "querying", asks, and either stores the answer and runs the wizard (then
  // ends the dialog with 0), shows "no answer" with Retry while the budget lasts, or leaves the
  // dialog as it is (stalled). Returns the state it left the dialog in.
  QueryState RunWorker();
  // Retry pressed: true when a new worker is to start. The button is hidden here already, so a
  // second press cannot start a second worker while one runs.
  [[nodiscard]] bool OnRetry();

  [[nodiscard]] int retryBudget() const { return retryBudget_.load(); }

 private:
  DialogView& view_;
  AppConfig& config_;
  VersionQueryHooks hooks_;
  std::atomic<int> retryBudget_{kRetryBudget};
};

}  // namespace corlinq
