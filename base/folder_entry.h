#pragma once
#include <string>

namespace corlinq {

// One entry of a folder listing, as the platform's enumeration yields it.
struct FolderEntry {
  std::string name;  // UTF-8, without the folder
  bool isDirectory = false;
};

}  // namespace corlinq
