#pragma once
// The link between the progress dialog and the install engine. The dialog creates the run while
// it initialises and starts it once its controls are ready; the run's worker writes into the
// dialog only through the session's view and sets workerDone when it may change nothing more.
#include <atomic>
#include <functional>
#include <memory>

#include "engine/progress_mode.h"
#include "ui/dialog_view.h"

namespace corlinq {

// Shared by the progress dialog and its worker, so a worker that outlives the dialog still
// writes into valid memory (the view then reaches no window any more).
struct ProgressSession {
  std::shared_ptr<DialogView> view;
  ProgressMode mode = ProgressMode::Install;
  // 0 while the run may still change things, 1 once it ended or failed. One writer: the worker.
  std::atomic<int> workerDone{0};
};

class ProgressRun {
 public:
  virtual ~ProgressRun() = default;
  // Starts the worker thread; returns at once.
  virtual void Start(std::shared_ptr<ProgressSession> session) = 0;
};

// Creates the run for a mode (the engine record and, for a forced update, the notice to the
// pop-up notifier, which may pause before the dialog shows). Called on the dialog's thread.
using ProgressRunFactory = std::function<std::shared_ptr<ProgressRun>(ProgressMode mode)>;

}  // namespace corlinq
