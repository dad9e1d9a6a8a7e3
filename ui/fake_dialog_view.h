#pragma once
// An in-memory dialog for the unit tests of the dialog logic: it records texts, visibility,
// bars and the questions asked, and answers questions from a queue.
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "ui/dialog_view.h"

namespace corlinq {

class FakeDialogView : public DialogView {
 public:
  struct Question {
    std::string text;
    std::string caption;
    Buttons buttons;
  };

  void SetText(int id, const std::string& text) override {
    texts[id] = text;
    log.push_back("text " + std::to_string(id) + " " + text);
  }
  std::string GetText(int id) const override {
    auto it = texts.find(id);
    return it == texts.end() ? std::string() : it->second;
  }
  void SetVisible(int id, bool visible) override { hidden[id] = !visible; }
  bool IsVisible(int id) const override {
    auto it = hidden.find(id);
    return it == hidden.end() || !it->second;
  }
  void SetEnabled(int id, bool enabled) override { disabled[id] = !enabled; }
  void RefreshControl(int id) override { log.push_back("refresh " + std::to_string(id)); }
  void SetProgressRange(int id, uint32_t max) override { ranges[id] = max; }
  void SetProgressPos(int id, uint32_t pos) override { positions[id] = pos; }
  void ShowDialog(bool visible) override {
    dialogVisible = visible;
    log.push_back(visible ? "show" : "hide");
  }
  void EndDialog(int result) override {
    endResult = result;
    log.push_back("end " + std::to_string(result));
  }
  Answer Ask(const std::string& text, const std::string& caption, Buttons buttons) override {
    questions.push_back({text, caption, buttons});
    if (answers.empty()) return buttons == Buttons::kOk ? Answer::kOk : Answer::kNo;
    Answer a = answers.front();
    answers.pop_front();
    return a;
  }

  std::map<int, std::string> texts;
  std::map<int, bool> hidden;
  std::map<int, bool> disabled;
  std::map<int, uint32_t> ranges;
  std::map<int, uint32_t> positions;
  bool dialogVisible = true;
  int endResult = -1;
  std::vector<std::string> log;
  std::vector<Question> questions;
  std::deque<Answer> answers;
};

}  // namespace corlinq
