#pragma once
// Process-wide installer state: the package's identity, the user's language
// and every folder the installer works with. All texts are code page 936.
#include <cstdint>
#include <optional>
#include <string>

// The client executable; it lies directly in the install folder.
inline constexpr const char kClientExeName[] = "kavimor v9.5.exe";

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

  // Default folder layout from the console user's profile and the program's
  // string resources 107 and 103.
  void InitDirectoryLayout();
};

// The one context; constructed on first use from any thread.
AppContext& GetAppContext();

// Appends the console user's Local AppData folder to `text`.
void GetConsoleUserLocalAppData(std::string& text);

// --- pieces of the above, kept apart so that their inputs can be chosen ---

// Replaces the path component between the second and third backslash of
// `path` with `userName`. Fewer than three backslashes, or an empty name,
// leave the path as it is.
void ReplaceProfileUser(std::string& path, const std::string& userName);

// The user name of the session attached to the console, or of the account
// that owns the desktop shell when the console has none. Empty when neither
// can be found.
std::string ConsoleUserName();

// Fills the layout fields of `ctx` from a profile base and the texts of
// string resources 107 (empty when absent) and 103.
void ApplyDirectoryLayout(AppContext& ctx, const std::string& profileBase,
                          const std::string& resource107, const std::string& resource103);

// Loads an 8-bit string resource of the program module through a 260-byte
// buffer; empty when absent.
std::string LoadResourceText(unsigned id);
