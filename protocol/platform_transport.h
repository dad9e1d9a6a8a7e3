#pragma once
// The platform's HTTP stack and debugger output: WinINet and OutputDebugStringW on Windows,
// libcurl and nothing natively. Both may be used from any thread. The HTTP port keeps its
// sessions and connections (WinINet) or one handle per thread (libcurl) for the life of the
// process, so that the files of a run reuse a kept-alive connection.
#include "protocol/http_port.h"
#include "protocol/trace_sink.h"

namespace corlinq {

[[nodiscard]] HttpPort& PlatformHttpPort();
[[nodiscard]] TraceSink& PlatformTraceSink();

}  // namespace corlinq
