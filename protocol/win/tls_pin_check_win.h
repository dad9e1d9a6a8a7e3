#pragma once
// The key-pin check of the WinINet adapter (protocol/tls_pins.h): called on a request handle
// once HttpSendRequestW has succeeded, before the response is used.
#include <windows.h>
#include <wininet.h>

#include <string>
#include <vector>

namespace corlinq::win {

// False when the build pins server keys: a plain-HTTP request is then refused before it is made.
[[nodiscard]] bool PlainHttpAllowed();

// True when the exchange may go on: no pins, or an HTTPS request whose server certificate's key
// is pinned. False for a plain-HTTP request under pins and for a server certificate that cannot
// be read.
[[nodiscard]] bool ServerKeyAllowed(HINTERNET request, bool secure, const std::vector<std::string>& pins);
[[nodiscard]] bool ServerKeyAllowed(HINTERNET request, bool secure);  // the build's pins

}  // namespace corlinq::win
