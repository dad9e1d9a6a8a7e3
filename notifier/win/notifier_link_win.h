#pragma once
// The Win32 side of the notifier link: the named pipe and the "Global\" answer events.
#include "notifier/popup_link.h"

namespace corlinq::win {

class WinNotifierLink : public NotifierLink {
 public:
  PipeWrite WriteMessage(const std::string& pipeName, const std::string& message) override;
  AnswerWait WaitForAnswer(const std::string& firstEvent, const std::string& secondEvent, uint32_t timeoutMs) override;
};

}  // namespace corlinq::win
