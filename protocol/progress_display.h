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
};

}  // namespace corlinq
