// corlinq_fetch URL PATH [--expect-pattern N]
// Downloads URL into PATH with DownloadFile over the platform's stack and prints the result and
// the process's peak resident memory ("peak_rss_kib=..."). With --expect-pattern the file must
// have the digest of the first N bytes of the test peer's pattern.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/download.h"
#include "protocol/file_digest.h"
#include "protocol/platform_transport.h"
#include "protocol/testing/peer_pattern.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) {
    std::fprintf(stderr, "usage: corlinq_fetch URL PATH [--expect-pattern N]\n");
    return 2;
  }
  corlinq::DownloadOptions options;
  if (argc == 5) {
    const unsigned long long size = std::strtoull(argv[4], nullptr, 10);
    corlinq::Sha1Digester digester;
    std::vector<char> buffer(1 << 20);
    for (unsigned long long at = 0; at < size;) {
      const size_t piece = static_cast<size_t>(std::min<unsigned long long>(buffer.size(), size - at));
      corlinq::testing::FillPattern(at, buffer.data(), piece);
      if (!digester.Update(buffer.data(), piece)) return 1;
      at += piece;
    }
    if (!digester.Finish(options.expectedDigest)) return 1;
  }
  const bool ok = corlinq::DownloadFile(corlinq::PlatformHttpPort(), argv[1], argv[2], nullptr, options);
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("result=%d peak_rss_kib=%ld\n", ok ? 1 : 0, usage.ru_maxrss);
  return ok ? 0 : 1;
}
