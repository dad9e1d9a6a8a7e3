#pragma once
// The release check of the update server: before it serves (and before a reload takes effect),
// every configured bank's release folder is verified as digest-tool check does it.
#include <string>
#include <vector>

#include "tools/update-server/update_server_config.h"

namespace corlinq {

// Checks the release folder of every bank against its releaseKey: the signatures of Digest.xml
// and Digest_<bank>.xml, every listed file's digest, no unlisted file. Returns one line per
// problem, naming the bank, the file and the reason ("bank 867: /srv/release/867/bin/a.dll:
// tampered: the content does not match Digest.xml ..."); empty when every release holds.
[[nodiscard]] std::vector<std::string> CheckBankReleases(const UpdateServerConfig& config);

}  // namespace corlinq
