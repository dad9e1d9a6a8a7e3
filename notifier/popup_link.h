#pragma once
// The command link to the assistant's pop-up notifier: one text message per named-pipe
// connection, and for questions an answer through one of two named events. The names and the
// message are composed here; the platform calls sit behind NotifierLink.
#include <cstdint>
#include <functional>
#include <string>

namespace corlinq {

// The vocabulary shared by the processes of the product family.
inline constexpr const char kPopFamilyWord[] = "MOVRA";
inline constexpr const char kPopStem[] = "MOVRA_Pop";
inline constexpr const char kUpdatePopCmd[] = "UpdatePopCmd";

struct PopupCommand {
  std::string command;
  std::string data;
  int32_t resultIfNoListener = 0;
  int32_t waitForAnswer = 0;
  uint32_t answerTimeoutMs = 0;
};

// "\\.\pipe\" + "MOVRA_Pop" + "MOVRA" + bank id text.
[[nodiscard]] std::string PopupPipeName(const std::string& bankIdText);
// "MOVRA_Pop" + command + "||" + data: no terminating zero, no length, no line end.
[[nodiscard]] std::string PopupMessage(const std::string& command, const std::string& data);
// "Global\" + "MOVRA_Pop" + command + familyWord + "_No" / "_Yes".
[[nodiscard]] std::string PopupNoEventName(const std::string& command, const std::string& familyWord);
[[nodiscard]] std::string PopupYesEventName(const std::string& command, const std::string& familyWord);

enum class PipeWrite {
  kNoListener,  // the pipe could not be opened (missing or busy)
  kShortWrite,  // fewer bytes written than the message has
  kWritten,
};

// Result of waiting on the two answer events, given in the order No, Yes.
enum class AnswerWait {
  kFirstSignalled,   // the lowest signalled index is 0 (No), also when both are signalled
  kSecondSignalled,  // only the second (Yes)
  kTimeout,
  kFailed,           // wait failed, abandoned, or an event could not be made
};

class NotifierLink {
 public:
  virtual ~NotifierLink() = default;
  // Opens the pipe (no wait, no retry), writes message with one write, closes it.
  [[nodiscard]] virtual PipeWrite WriteMessage(const std::string& pipeName, const std::string& message) = 0;
  // Creates (or opens) the two auto-reset events, open to every account, and waits on them in
  // the order first, second for up to timeoutMs.
  [[nodiscard]] virtual AnswerWait WaitForAnswer(const std::string& firstEvent, const std::string& secondEvent,
                                                 uint32_t timeoutMs) = 0;
};

struct AnswerMapping {
  int result;
  const char* trace;
};
// The send result and trace text of a wait result: only the "Yes" event gives 1.
[[nodiscard]] AnswerMapping MapAnswerWait(AnswerWait wait);

// Sends one command. 1: written and not waited for, answered "Yes", or no listener with a
// non-zero resultIfNoListener; 0 otherwise. trace receives (text, argument).
using PopupTrace = std::function<void(const std::string& text, const std::string& argument)>;
[[nodiscard]] int SendPopupCommand(NotifierLink& link, const std::string& bankIdText,
                                   const std::string& familyWord, const PopupCommand& request,
                                   const PopupTrace& trace);

}  // namespace corlinq
