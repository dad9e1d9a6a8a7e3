#pragma once
// The controls a download shows its progress in: texts and progress bars of a dialog, named by
// their resource ids, with no toolkit types. An implementation that draws on screen has each
// call visible before it returns.
#include <cstdint>
#include <string>

namespace corlinq {

class ProgressDisplay {
 public:
  virtual ~ProgressDisplay() = default;

  virtual void SetText(int controlId, const std::string& text) = 0;
  // Repaints the dialog's background under a control whose text changed (transparent labels).
  virtual void RefreshControl(int controlId) = 0;
  // Progress bars: range 0..max and position.
  virtual void SetProgressRange(int controlId, uint32_t max) = 0;
  virtual void SetProgressPos(int controlId, uint32_t pos) = 0;
  // A control's client width in pixels; 0 when unknown (displays without pixels).
  [[nodiscard]] virtual int ControlWidth(int /*controlId*/) const { return 0; }

  // Updates in batches (ProgressBatch below). Between BeginUpdates and the matching EndUpdates
  // a display may hold the calls above back and apply them together: ShowUpdates hands on what
  // it holds (to be drawn as soon as the display can), EndUpdates applies the rest and has all
  // of it on screen before it returns. Any other call of the display ends the holding first.
  // Outside a batch, and in displays that do not batch, every call is on screen before it
  // returns.
  virtual void BeginUpdates() {}
  virtual void ShowUpdates() {}
  virtual void EndUpdates() {}
};

// One batch of updates, shown when it ends.
class ProgressBatch {
 public:
  explicit ProgressBatch(ProgressDisplay& display) : display_(display) { display_.BeginUpdates(); }
  ~ProgressBatch() { display_.EndUpdates(); }
  ProgressBatch(const ProgressBatch&) = delete;
  ProgressBatch& operator=(const ProgressBatch&) = delete;

 private:
  ProgressDisplay& display_;
};

}  // namespace corlinq
