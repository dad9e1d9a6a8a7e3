#pragma once
// The debugger output channel: one line per call ("strSendData:(...)", "domain:(...)").
#include <string>

namespace corlinq {

class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void Trace(const std::string& line) = 0;
};

}  // namespace corlinq
