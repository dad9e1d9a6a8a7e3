#pragma once
// The dialog view port: everything a worker (or the dialog flow logic) may do to a dialog: the
// engine's progress view (texts and bars, engine/progress_view.h) and the dialog's own calls. It
// names controls by their resource ids and carries no toolkit types. The Win32 adapter sends
// the window messages synchronously to the dialog's thread, so each call is visible on screen
// before it returns.
#include <cstdint>
#include <string>

#include "engine/progress_view.h"

namespace corlinq {

// Answers of a question box (the platform's IDOK, IDCANCEL, IDYES, IDNO values).
enum class Answer { kOk = 1, kCancel = 2, kYes = 6, kNo = 7 };
enum class Buttons { kOk, kOkCancel, kYesNo };

class DialogView : public ProgressView {
 public:
  virtual ~DialogView() = default;

  [[nodiscard]] virtual std::string GetText(int controlId) const = 0;
  virtual void SetVisible(int controlId, bool visible) = 0;
  [[nodiscard]] virtual bool IsVisible(int controlId) const = 0;
  virtual void SetEnabled(int controlId, bool enabled) = 0;

  // The dialog window as a whole.
  virtual void ShowDialog(bool visible) = 0;
  virtual void EndDialog(int result) = 0;
  // A modal question owned by this dialog.
  [[nodiscard]] virtual Answer Ask(const std::string& text, const std::string& caption, Buttons buttons) = 0;
};

}  // namespace corlinq
