#pragma once
// What a progress dialog runs: a fresh installation, an update, or a repair of the files.

namespace corlinq {

enum class ProgressMode { kInstall = 0, kUpdate = 1, kRepair = 2 };

}  // namespace corlinq
