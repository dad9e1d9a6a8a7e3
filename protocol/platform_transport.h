#pragma once
// The platform's HTTP stack and debugger output: WinINet and OutputDebugStringW on Windows,
// libcurl and nothing natively. Both objects are stateless and may be used from any thread.
#include "protocol/http_port.h"
#include "protocol/trace_sink.h"

namespace corlinq {

[[nodiscard]] HttpPort& PlatformHttpPort();
[[nodiscard]] TraceSink& PlatformTraceSink();

}  // namespace corlinq
