#include "notifier/win/notifier_link_win.h"

#include <windows.h>

#include "base/win/scoped_handle.h"
#include "base/win/wide.h"

namespace corlinq::win {

PipeWrite WinNotifierLink::WriteMessage(const std::string& pipeName, const std::string& message) {
  // No wait for a free instance and no retry: a busy pipe counts as no listener.
  ScopedHandle pipe(CreateFileW(Utf8ToWide(pipeName).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!pipe) return PipeWrite::kNoListener;
  DWORD written = 0;
  const BOOL ok = WriteFile(pipe.get(), message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
  pipe.reset();
  return ok && written == message.size() ? PipeWrite::kWritten : PipeWrite::kShortWrite;
}

AnswerWait WinNotifierLink::WaitForAnswer(const std::string& firstEvent, const std::string& secondEvent,
                                          uint32_t timeoutMs) {
  // Open to every account: a present, NULL DACL.
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
    return AnswerWait::kFailed;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
  ScopedHandle first(CreateEventW(&attributes, FALSE, FALSE, Utf8ToWide(firstEvent).c_str()));
  ScopedHandle second(CreateEventW(&attributes, FALSE, FALSE, Utf8ToWide(secondEvent).c_str()));
  if (!first || !second) return AnswerWait::kFailed;
  const HANDLE handles[2] = {first.get(), second.get()};
  switch (WaitForMultipleObjects(2, handles, FALSE, timeoutMs)) {
    case WAIT_OBJECT_0:
      return AnswerWait::kFirstSignalled;
    case WAIT_OBJECT_0 + 1:
      return AnswerWait::kSecondSignalled;
    case WAIT_TIMEOUT:
      return AnswerWait::kTimeout;
    default:
      return AnswerWait::kFailed;
  }
}

}  // namespace corlinq::win
