#pragma once
// What a progress dialog runs: a fresh installation, an update, or a repair of the files.

namespace corlinq {

enum class ProgressMode { Install = 0, Update = 1, Repair = 2 };

}  // namespace corlinq
