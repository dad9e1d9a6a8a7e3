// The build's key pins (build option TLS_PINS, checked when the build was configured). Alone in
// its file: a test program may link its own definition in place of this one.
#include "protocol/tls_pins.h"

#ifndef CORLINQ_TLS_PINS
#define CORLINQ_TLS_PINS ""
#endif

namespace corlinq {

const std::vector<std::string>& BuildTlsPins() {
  // The build refuses a list that does not parse; should one get here all the same, it matches
  // no key rather than pinning nothing.
  static const std::vector<std::string> pins =
      ParseTlsPins(CORLINQ_TLS_PINS).value_or(std::vector<std::string>{"unparsable TLS_PINS"});
  return pins;
}

}  // namespace corlinq
