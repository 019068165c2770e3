#pragma once
// Process-wide installer state: the package's identity, the user's language
// and every folder the installer works with. packageId, displayName and
// languageCode are code page 936 text; the folders are 8-bit text in the
// system's code page, the one of the 8-bit calls that produce and read them
// (936 on a mainland system, 950 in Taiwan and Hong Kong).
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/process_ops.h"  // kClientExeName

struct AppContext {
  std::string packageId;
  std::string displayName;
  std::string installDir;
  std::string logDir;
  std::string stagingDir;
  std::string dependBaseDir;
  std::string productFolderName;
  std::string languageCode;
  int32_t languageId = 0;
  std::string currentVersion;
  // The profile base as the system reported it, when the system's code page
  // cannot represent it (a user name with characters outside it); empty
  // otherwise. The default folders then hold '?' and the start is refused.
  std::wstring unrepresentableProfile;

  // Default folder layout from the profile of the session's user and the
  // program's string resources 107 and 103.
  void InitDirectoryLayout();
};

// The one context; constructed on first use from any thread.
AppContext& GetAppContext();

// The user name of a session (WTSQuerySessionInformationW, WTSUserName);
// empty when the query fails.
using SessionUserQuery = std::wstring (*)(DWORD sessionId);
std::wstring QuerySessionUserName(DWORD sessionId);

// Appends the Local AppData folder of the user of the installer's own
// session to `text`, in the system's code page. When that code page cannot
// represent the folder, the appended text holds '?' in its place, the
// folder as the system named it goes to `unrepresentable` and the result is
// false.
bool GetConsoleUserLocalAppData(std::string& text, std::wstring* unrepresentable = nullptr,
                                SessionUserQuery querySession = QuerySessionUserName);

// --- pieces of the above, kept apart so that their inputs can be chosen ---

// Replaces the path component between the second and third backslash of
// `path` with `userName`. Fewer than three backslashes, or an empty name,
// leave the path as it is. UTF-16: no byte of a character is mistaken for
// a separator.
void ReplaceProfileUser(std::wstring& path, const std::wstring& userName);

// The user name of the session the installer runs in (not the console's:
// over Remote Desktop another user may sit at the console), or of the
// account that owns the desktop shell when the session gives none. Empty
// when neither can be found.
std::wstring ConsoleUserName(SessionUserQuery querySession = QuerySessionUserName);

// The profile base for the folder the system reported and the session's
// user, in `codePage`; none when the code page cannot represent it.
std::optional<std::string> ProfileBaseIn(std::wstring reported, const std::wstring& userName,
                                         unsigned codePage);

// Fills the layout fields of `ctx` from a profile base and the texts of
// string resources 107 (empty when absent) and 103.
void ApplyDirectoryLayout(AppContext& ctx, const std::string& profileBase,
                          const std::string& resource107, const std::string& resource103);

// Loads an 8-bit string resource of the program module through a 260-byte
// buffer; empty when absent.
std::string LoadResourceText(unsigned id);
