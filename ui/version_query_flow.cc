#include "ui/version_query_flow.h"

#include <utility>

namespace corlinq {

VersionQueryFlow::VersionQueryFlow(DialogView& view, AppConfig& config, VersionQueryHooks hooks)
    : view_(view), config_(config), hooks_(std::move(hooks)) {}

void VersionQueryFlow::Begin() {
  view_.SetVisible(kRetryButtonId, false);
  retryBudget_ = kRetryBudget;
}

QueryState VersionQueryFlow::RunWorker() {
  view_.SetVisible(kRetryButtonId, false);
  view_.SetText(kQueryStatusId, kQueryingText);
  view_.RefreshControl(kQueryStatusId);

  const VersionAnswer answer = hooks_.query ? hooks_.query() : VersionAnswer{};
  switch (answer.kind) {
    case VersionAnswer::Kind::kNoAnswer:
      view_.SetVisible(kRetryButtonId, retryBudget_.load() > 0);
      view_.SetText(kQueryStatusId, kNoAnswerText);
      view_.RefreshControl(kQueryStatusId);
      return QueryState::kNoAnswer;
    case VersionAnswer::Kind::kUnopenable:
      return QueryState::kStalled;
    case VersionAnswer::Kind::kOk:
      break;
  }
  config_.serverVersion = answer.version;
  config_.downloadBaseUrl = answer.url;
  if (hooks_.pause) hooks_.pause(kWizardPauseMs);
  view_.ShowDialog(false);
  if (hooks_.runWizard) hooks_.runWizard();
  view_.EndDialog(0);
  return QueryState::kDone;
}

bool VersionQueryFlow::OnRetry() {
  int budget = retryBudget_.load();
  if (budget <= 0 || !view_.IsVisible(kRetryButtonId)) return false;
  while (budget > 0 && !retryBudget_.compare_exchange_weak(budget, budget - 1)) {
  }
  if (budget <= 0) return false;
  view_.SetVisible(kRetryButtonId, false);
  return true;
}

}  // namespace corlinq
