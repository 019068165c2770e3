#include "ui/command_line.h"


namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

wchar_t Upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Upper(text[i]) != Upper(prefix[i])) return false;
  return true;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

std::wstring_view TrimBlanks(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// One blank-separated word; double quotes group blanks and are dropped.
// False for a quote that is never closed.
bool NextWord(std::wstring_view& rest, std::wstring& word, size_t& startOffset, std::wstring_view whole) {
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  startOffset = whole.size() - rest.size();
  word.clear();
  bool quoted = false;
  while (!rest.empty() && (quoted || !IsBlank(rest.front()))) {
    const wchar_t c = rest.front();
    rest.remove_prefix(1);
    if (c == L'"') {
      quoted = !quoted;
    } else {
      word += c;
    }
  }
  return !quoted;
}

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

struct Language {
  const wchar_t* name;
  unsigned short id;
};
constexpr Language kLanguages[] = {{L"zh-CN", 2052}, {L"zh-TW", 1028}, {L"en", 1033}};

}  // namespace

std::wstring CheckedInstallFolder(std::wstring_view folder, bool allowRoot) {
  std::wstring path(TrimBlanks(folder));
  // "/D=" values are never quoted by convention, but a quoted one is meant
  // the same way.
  if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') path = path.substr(1, path.size() - 2);
  for (const wchar_t c : path) {
    if (c < 0x20 || c == L'/' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|')
      return {};
  }
  size_t rootEnd = 0;  // the length of "C:\" or "\\server\share\"
  if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' && path[2] == L'\\') {
    rootEnd = 3;
  } else if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\') {
    const size_t server = path.find(L'\\', 2);
    if (server == std::wstring::npos || server == 2) return {};
    size_t share = path.find(L'\\', server + 1);
    if (share == std::wstring::npos && allowRoot && path.size() > server + 1) {
      path += L'\\';
      share = path.size() - 1;
    }
    if (share == std::wstring::npos || share == server + 1) return {};
    rootEnd = share + 1;
  } else {
    return {};
  }
  while (path.size() > rootEnd && path.back() == L'\\') path.pop_back();
  // The root itself would be swapped aside whole: never an install folder.
  if (path.size() <= rootEnd) {
    if (!allowRoot) return {};
    // "C:" alone names the current folder of the drive, not its root.
    return path.size() == 3 ? path : path.substr(0, rootEnd - 1);
  }
  // A ':' past the drive names a stream, not a folder; empty, "." and ".."
  // parts would name another folder than the one written.
  if (path.find(L':', rootEnd) != std::wstring::npos) return {};
  size_t start = rootEnd;
  while (start <= path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring_view part(path.data() + start, end - start);
    if (part.empty() || part == L"." || part == L".." || part.back() == L' ' || part.back() == L'.') return {};
    start = end + 1;
  }
  return path;
}

CommandLine ParseCommandLine(std::wstring_view arguments) {
  CommandLine line;
  line.arguments = std::wstring(TrimBlanks(arguments));
  std::wstring_view rest = arguments;
  bool seenLog = false;
  bool seenLanguage = false;
  auto fail = [&line](const std::wstring& why) {
    if (line.error.empty()) line.error = why;
  };
  while (line.error.empty()) {
    std::wstring word;
    size_t at = 0;
    if (!NextWord(rest, word, at, arguments)) {
      fail(L"A quotation mark is not closed.");
      break;
    }
    if (word.empty() && rest.empty()) break;
    if (StartsWithNoCase(word, L"/D=")) {
      // The rest of the line, spaces and all, as written after "/D=".
      const std::wstring_view value = arguments.substr(at + 3);
      line.installDir = CheckedInstallFolder(value);
      if (line.installDir.empty())
        fail(L"/D= needs an absolute folder below a drive or share root: " + std::wstring(TrimBlanks(value)));
      break;
    }
    if (EqualsNoCase(word, L"/S")) {
      if (line.silent) fail(L"/S is given twice.");
      line.silent = true;
    } else if (EqualsNoCase(word, L"/?")) {
      line.help = true;
    } else if (EqualsNoCase(word, L"/CLOSEAPPS")) {
      if (line.closeApps) fail(L"/CLOSEAPPS is given twice.");
      line.closeApps = true;
    } else if (StartsWithNoCase(word, L"/LOG=")) {
      if (seenLog) fail(L"/LOG= is given twice.");
      seenLog = true;
      line.logCopy = std::wstring(TrimBlanks(std::wstring_view(word).substr(5)));
      if (line.logCopy.empty() || line.logCopy.back() == L'\\') fail(L"/LOG= needs a file name.");
    } else if (StartsWithNoCase(word, L"/LAYOUT=") || StartsWithNoCase(word, L"/SOURCE=")) {
      const bool layout = Upper(word[1]) == L'L';
      std::wstring& target = layout ? line.layoutDir : line.sourceDir;
      if (!target.empty()) fail(std::wstring(layout ? L"/LAYOUT=" : L"/SOURCE=") + L" is given twice.");
      const std::wstring_view value = std::wstring_view(word).substr(8);
      target = CheckedInstallFolder(value, !layout);
      if (target.empty())
        fail(std::wstring(layout ? L"/LAYOUT=" : L"/SOURCE=") + L" needs an absolute folder: " + std::wstring(value));
    } else if (StartsWithNoCase(word, L"/LANG=")) {
      if (seenLanguage) fail(L"/LANG= is given twice.");
      seenLanguage = true;
      const std::wstring_view name = std::wstring_view(word).substr(6);
      for (const Language& language : kLanguages)
        if (EqualsNoCase(name, language.name)) line.language = language.id;
      if (!line.language) fail(L"/LANG= takes zh-CN, zh-TW or en, not " + std::wstring(name) + L".");
    } else {
      fail(L"Unknown switch: " + word);
    }
  }
  if (!line.layoutDir.empty() && (!line.sourceDir.empty() || !line.installDir.empty()))
    fail(L"/LAYOUT= installs nothing: it takes neither /SOURCE= nor /D=.");
  return line;
}

std::wstring UsageText(const std::wstring& problem) {
  std::wstring text;
  if (!problem.empty()) text = problem + L"\n\n";
  text +=
      L"Usage: kavimor_installer.exe [/S] [/CLOSEAPPS] [/LANG=zh-CN|zh-TW|en] [/LOG=<file>]\n"
      L"       [/SOURCE=<folder>] [/D=<folder>]\n"
      L"       kavimor_installer.exe /LAYOUT=<folder> [/LOG=<file>]\n"
      L"\n"
      L"/S\tinstall without any window or message box\n"
      L"/CLOSEAPPS\twith /S: stop a client running from the install folder\n"
      L"/LANG=\tlanguage of the texts: zh-CN, zh-TW or en\n"
      L"/LOG=<file>\talso write the install log to this file\n"
      L"/D=<folder>\tinstall into exactly this folder; last on the line\n"
      L"/LAYOUT=<folder>\tfetch and check the release into this folder; install nothing\n"
      L"/SOURCE=<folder>\tinstall from such a folder (local or \\\\server\\share), no network\n"
      L"/?\tthis text\n"
      L"\n"
      L"Exit codes: 0 installed; 1-15 the failed step; 16 manifest unavailable; 17 release refused;\n"
      L"18 proxy authentication; 19 client running; 20 recovery needs attention;\n"
      L"21 another copy running; 22 usage error; 23 not started.";
  return text;
}
