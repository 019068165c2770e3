// The installer's switches as administrators write them, and the exit-code
// table as README.md documents it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <map>

#include <set>
#include <sstream>
#include <string>

#include "engine/exit_codes.h"
#include "engine/pipeline.h"
#include "network/proxy_route.h"
#include "support/oss_server.h"
#include "support/test_support.h"
#include "ui/command_line.h"

namespace {

std::string Utf8(const std::wstring& text) {
  std::string out(text.size() * 4 + 1, '\0');
  out.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                                     out.data(), static_cast<int>(out.size()), nullptr, nullptr)));
  return out;
}

struct GoodLine {
  const wchar_t* line;
  bool silent;
  bool closeApps;
  const wchar_t* installDir;
  const wchar_t* logCopy;
  int language;  // 0: none
};

TEST(CommandLine, AcceptsTheSwitchesInAnyCaseAndOrder) {
  const GoodLine cases[] = {
      {L"", false, false, L"", L"", 0},
      {L"   ", false, false, L"", L"", 0},
      {L"/S", true, false, L"", L"", 0},
      {L"/s /closeapps", true, true, L"", L"", 0},
      {L"/S /D=C:\\Program Files\\Kavimor Client", true, false, L"C:\\Program Files\\Kavimor Client", L"", 0},
      // The rest of the line is the folder; its trailing separator and blanks go.
      {L"/S /d=D:\\Trading floor  S\\  ", true, false, L"D:\\Trading floor  S", L"", 0},
      {L"/LOG=\"C:\\logs dir\\k.log\" /S", true, false, L"", L"C:\\logs dir\\k.log", 0},
      {L"\"/log=C:\\a b\\k.log\"", false, false, L"", L"C:\\a b\\k.log", 0},
      {L"/LANG=zh-tw", false, false, L"", L"", 1028},
      {L"/lang=EN /S", true, false, L"", L"", 1033},
      {L"/LANG=zh-CN", false, false, L"", L"", 2052},
      {L"/S /D=\\\\filer\\apps\\Kavimor", true, false, L"\\\\filer\\apps\\Kavimor", L"", 0},
      {L"/D=E:\\\u8A31\u529F\\Kavimor", false, false, L"E:\\\u8A31\u529F\\Kavimor", L"", 0},
  };
  for (const GoodLine& c : cases) {
    SCOPED_TRACE(Utf8(c.line));
    const CommandLine line = ParseCommandLine(c.line);
    EXPECT_EQ(Utf8(line.error), "");
    EXPECT_EQ(line.silent, c.silent);
    EXPECT_EQ(line.closeApps, c.closeApps);
    EXPECT_EQ(line.installDir, c.installDir);
    EXPECT_EQ(line.logCopy, c.logCopy);
    EXPECT_EQ(line.language.value_or(0), c.language);
    EXPECT_FALSE(line.help);
  }
  EXPECT_TRUE(ParseCommandLine(L"/?").help);
  EXPECT_TRUE(ParseCommandLine(L"/S /?").help);
}

TEST(CommandLine, RefusesWhatItCannotUseInsteadOfIgnoringIt) {
  const wchar_t* bad[] = {
      L"/X",                       // unknown
      L"/SILENT",                  // not ours
      L"S",                        // no slash
      L"-S",                       // another program's style
      L"/S /S",                    // twice
      L"/LANG=fr",                 // no such language
      L"/LANG=",                   // empty
      L"/LANG=en /LANG=en",        // twice
      L"/LOG=",                    // no file
      L"/LOG=C:\\logs\\",          // a folder
      L"/LOG=\"C:\\open quote",    // unclosed quote
      L"/D=",                      // empty
      L"/D=relative\\folder",      // not absolute
      L"/D=C:",                    // drive without root
      L"/D=C:\\",                  // a drive root
      L"/D=C:\\\\\\",              // still the root
      L"/D=\\\\server\\share",     // a share root
      L"/D=\\\\server",            // no share
      L"/D=C:\\a\\..\\Windows",    // climbs out
      L"/D=C:\\a\\.\\b",           // a dot part
      L"/D=C:\\a\\\\b",            // an empty part
      L"/D=C:\\a?b",               // wildcard
      L"/D=C:\\a:stream",          // a stream
      L"/D=C:\\a/b",               // forward slash
      L"/D=C:\\trailing. ",        // a name Windows would change
  };
  for (const wchar_t* text : bad) {
    const CommandLine line = ParseCommandLine(text);
    EXPECT_NE(line.error, L"") << Utf8(text);
    EXPECT_NE(UsageText(line.error).find(line.error), std::wstring::npos);
  }
}

TEST(CommandLine, LayoutAndSourceFoldersStandAloneOrWithAnInstallFolder) {
  struct Case {
    const wchar_t* line;
    const wchar_t* layout;
    const wchar_t* source;
    const wchar_t* installDir;
  };
  const Case good[] = {
      {L"/LAYOUT=\"D:\\dist\\release 9.5\\\"", L"D:\\dist\\release 9.5", L"", L""},
      {L"/S /SOURCE=\\\\filer\\share /D=C:\\K", L"", L"\\\\filer\\share", L"C:\\K"},
      {L"/source=\\\\filer\\share\\rel\\", L"", L"\\\\filer\\share\\rel", L""},
      {L"/SOURCE=E:\\", L"", L"E:\\", L""},
  };
  for (const Case& c : good) {
    SCOPED_TRACE(Utf8(c.line));
    const CommandLine line = ParseCommandLine(c.line);
    EXPECT_EQ(Utf8(line.error), "");
    EXPECT_EQ(line.layoutDir, c.layout);
    EXPECT_EQ(line.sourceDir, c.source);
    EXPECT_EQ(line.installDir, c.installDir);
  }
  for (const wchar_t* bad : {L"/LAYOUT=D:\\x /D=C:\\y", L"/LAYOUT=D:\\x /SOURCE=E:\\y", L"/LAYOUT=relative",
                             L"/LAYOUT=C:\\", L"/SOURCE=\\\\server", L"/SOURCE=x:", L"/SOURCE=E:\\a /SOURCE=E:\\b"}) {
    EXPECT_NE(ParseCommandLine(bad).error, L"") << Utf8(bad);
  }
}

TEST(ProxyRoute, PicksTheSchemesProxyAndHonoursTheBypassList) {
  using AlibabaCloud::OSS::detail::HostBypassed;
  using AlibabaCloud::OSS::detail::ProxyForScheme;
  EXPECT_EQ(ProxyForScheme(L"proxy.corp:8080", true), L"proxy.corp:8080");
  EXPECT_EQ(ProxyForScheme(L"http://proxy.corp:8080", false), L"proxy.corp:8080");
  EXPECT_EQ(ProxyForScheme(L"http=a:1;https=b:2", true), L"b:2");
  EXPECT_EQ(ProxyForScheme(L"HTTP=a:1;HTTPS=b:2", false), L"a:1");
  EXPECT_EQ(ProxyForScheme(L"ftp=f:21;http=a:1", true), L"");
  EXPECT_EQ(ProxyForScheme(L"ftp=f:21 plain:3128", true), L"plain:3128");
  EXPECT_EQ(ProxyForScheme(L"", true), L"");

  const std::wstring bypass = L"<local>;*.corp.example; 10.*;oss-accelerate.aliyuncs.com";
  EXPECT_TRUE(HostBypassed(bypass, L"intranet"));
  EXPECT_TRUE(HostBypassed(bypass, L"files.CORP.example"));
  EXPECT_TRUE(HostBypassed(bypass, L"10.1.2.3"));
  EXPECT_TRUE(HostBypassed(bypass, L"oss-accelerate.aliyuncs.com"));
  EXPECT_FALSE(HostBypassed(bypass, L"corp.example"));
  EXPECT_FALSE(HostBypassed(bypass, L"110.1.2.3"));
  EXPECT_FALSE(HostBypassed(bypass, L"bucket.oss-accelerate.aliyuncs.com"));
  EXPECT_FALSE(HostBypassed(L"", L"intranet"));
}


TEST(ExitCodes, TheReadmeTableIsTheProgramsTable) {
  const std::map<long, std::string> readme = testing_support::ReadmeExitCodes();
  ASSERT_EQ(readme.size(), kExitCodeCount);
  int previous = -1;
  for (size_t i = 0; i < kExitCodeCount; ++i) {
    const ExitCodeRow& row = kExitCodeTable[i];
    EXPECT_GT(row.code, previous);
    previous = row.code;
    const auto documented = readme.find(row.code);
    ASSERT_NE(documented, readme.end()) << row.code;
    EXPECT_EQ(documented->second, row.name) << row.code;
  }
}

TEST(ExitCodes, AStepFailureEndsWithItsCodeUnlessItsCauseHasOneOfItsOwn) {
  ClearRunFailure();
  EXPECT_EQ(ExitCodeForFailure(0), kExitManifestUnavailable);
  EXPECT_EQ(ExitCodeForFailure(4), 4);
  EXPECT_EQ(ExitCodeForFailure(15), 15);
  NoteRunFailure(RunFailure::ProxyAuthentication);
  NoteRunFailure(RunFailure::ReleaseRefused);  // the first cause stays
  EXPECT_EQ(ExitCodeForFailure(0), kExitProxyAuthentication);
  EXPECT_EQ(ExitCodeForFailure(2), kExitProxyAuthentication);
  ClearRunFailure();
  NoteRunFailure(RunFailure::ReleaseRefused);
  EXPECT_EQ(ExitCodeForFailure(4), kExitReleaseRefused);
  ClearRunFailure();
}

TEST(ExitCodes, AStartThatEndsWithoutAWorkerHasItsOwnCodeAndAManifestFailureIs16) {
  struct Row {
    StartOutcome outcome;
    RunFailure noted;
    int code;
  };
  const Row rows[] = {
      {StartOutcome::ManifestFailed, RunFailure::None, kExitManifestUnavailable},
      {StartOutcome::ManifestFailed, RunFailure::ProxyAuthentication, kExitProxyAuthentication},
      {StartOutcome::ManifestFailed, RunFailure::ReleaseRefused, kExitReleaseRefused},
      {StartOutcome::RecoveryNeedsAttention, RunFailure::None, kExitRecoveryNeedsAttention},
      {StartOutcome::WorkerNotStarted, RunFailure::None, kExitNotStarted},
      {StartOutcome::Declined, RunFailure::None, kExitNotStarted},
  };
  for (const Row& row : rows) {
    ClearRunFailure();
    if (row.noted != RunFailure::None) NoteRunFailure(row.noted);
    EXPECT_EQ(ExitCodeForStartOutcome(row.outcome), row.code) << static_cast<int>(row.outcome);
  }
  ClearRunFailure();
}

}  // namespace
