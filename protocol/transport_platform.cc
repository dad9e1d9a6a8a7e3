// The process-wide entry points: the core's operations bound to the platform's stack.
#include "config/app_config.h"
#include "protocol/download.h"
#include "protocol/http_client.h"
#include "protocol/platform_transport.h"

namespace corlinq {

int SendServerRequest(const std::string& path, const std::string& data, std::string& reply) {
  return SendServerRequest(TheAppConfig(), PlatformHttpPort(), PlatformTraceSink(), path, data, reply);
}

bool DownloadFile(const std::string& url, const std::string& path, DownloadProgressSink* sink,
                  const std::string& expectedDigest) {
  DownloadOptions options;
  options.expectedDigest = expectedDigest;
  return DownloadFile(PlatformHttpPort(), url, path, sink, options);
}

}  // namespace corlinq
