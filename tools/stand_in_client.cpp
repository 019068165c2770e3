// Stand-in for the installed trading client, "kavimor v9.5.exe". It records
// how it was started in a file next to itself, started-<pid>.txt (UTF-8:
// the command line, the working folder, then one argument per line), and
// stays alive for a minute so that tests can find and stop it.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string out(static_cast<size_t>(bytes - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace

int wmain() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring folder(self);
  folder.resize(folder.rfind(L'\\'));
  wchar_t cwd[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, cwd);

  const std::wstring record = folder + L"\\started-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
  const std::wstring partial = record + L".part";
  if (FILE* out = _wfopen(partial.c_str(), L"wb")) {
    std::fprintf(out, "%s\n%s\n", Utf8(GetCommandLineW()).c_str(), Utf8(cwd).c_str());
    int argc = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
      for (int i = 0; i < argc; ++i) std::fprintf(out, "%s\n", Utf8(argv[i]).c_str());
      LocalFree(argv);
    }
    std::fclose(out);
    // Complete records only: readers never see a half-written file.
    MoveFileW(partial.c_str(), record.c_str());
  }
  Sleep(60000);
  return 0;
}
