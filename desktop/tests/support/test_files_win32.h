// Files of the Windows tests: a whole file read as bytes and a test folder
// removed with everything in it. Windows tests only.
//
//   remove_tree(L"C:\\vor-tests\\case");   // gone, whatever it held
//   const std::string log = read_text_file(L"C:\\vor-tests\\app.log");
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vor::desktop {

// The whole file as bytes; empty when it cannot be read.
inline std::string read_text_file(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Deletes `dir` and everything below it; what cannot be deleted stays.
inline void remove_tree(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE h = ::FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = dir + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(path);
      } else {
        ::DeleteFileW(path.c_str());
      }
    } while (::FindNextFileW(h, &found));
    ::FindClose(h);
  }
  ::RemoveDirectoryW(dir.c_str());
}

}  // namespace vor::desktop
