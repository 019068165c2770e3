#pragma once
// What an extraction left on disk, for comparing runs.
#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace unzip_tree {

// Every file and folder below `root`, relative, '/'-separated, sorted.
inline std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> found;
  std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& dir,
                                                                          const std::string& rel) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      std::string relName = rel.empty() ? name : rel + "/" + name;
      bool isDir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      found.push_back(isDir ? relName + "/" : relName);
      if (isDir) walk(dir + "\\" + name, relName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
  };
  walk(root, "");
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace unzip_tree
