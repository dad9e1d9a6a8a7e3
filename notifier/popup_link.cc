#include "notifier/popup_link.h"

namespace corlinq {

std::string PopupPipeName(const std::string& bankIdText) {
  return std::string("\\\\.\\pipe\\") + kPopStem + kPopFamilyWord + bankIdText;
}

std::string PopupMessage(const std::string& command, const std::string& data) {
  return std::string(kPopStem) + command + "||" + data;
}

std::string PopupNoEventName(const std::string& command, const std::string& familyWord) {
  return std::string("Global\\") + kPopStem + command + familyWord + "_No";
}

std::string PopupYesEventName(const std::string& command, const std::string& familyWord) {
  return std::string("Global\\") + kPopStem + command + familyWord + "_Yes";
}

AnswerMapping MapAnswerWait(AnswerWait wait) {
  switch (wait) {
    case AnswerWait::kFirstSignalled:
      return {0, "User Select No !!!"};
    case AnswerWait::kSecondSignalled:
      return {1, "User Select Yes !!!"};
    case AnswerWait::kTimeout:
      return {0, "User Select TimeOut !!!"};
    case AnswerWait::kFailed:
      break;
  }
  return {0, "User Select Error !!!"};
}

int SendPopupCommand(NotifierLink& link, const std::string& bankIdText, const std::string& familyWord,
                     const PopupCommand& request, const PopupTrace& trace) {
  const std::string argument = familyWord + kPopStem + request.command;
  const auto note = [&](const char* text) {
    if (trace) trace(text, argument);
  };
  switch (link.WriteMessage(PopupPipeName(bankIdText), PopupMessage(request.command, request.data))) {
    case PipeWrite::kNoListener:
      note("No Find qzPop Pipe !!!");
      return request.resultIfNoListener != 0 ? 1 : 0;
    case PipeWrite::kShortWrite:
      return 0;
    case PipeWrite::kWritten:
      break;
  }
  if (request.waitForAnswer == 0) return 1;
  const AnswerMapping mapped =
      MapAnswerWait(link.WaitForAnswer(PopupNoEventName(request.command, familyWord),
                                       PopupYesEventName(request.command, familyWord), request.answerTimeoutMs));
  note(mapped.trace);
  return mapped.result;
}

}  // namespace corlinq
