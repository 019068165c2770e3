#pragma once
// Folders that only administrators and SYSTEM can write. The installer runs
// elevated but works inside a standard user's folders; whatever it must later
// act on without deriving it again (the hand-over journal, verified packages,
// what was installed) lives here instead, under the machine's program-data
// folder, in folders the installer creates itself with an explicit owner and
// a protected DACL. A folder that already exists is used only when it is a
// real folder (no link) whose owner is Administrators or SYSTEM and whose
// DACL grants nothing to anyone else; otherwise it is refused, never
// "repaired", since a user who made it first may still hold a handle to it.
#include <string>

namespace trusted {

// The DACL every trusted folder gets: full control for SYSTEM and the
// Administrators group, inherited by everything created inside, nothing
// inherited from the parent.
inline constexpr const wchar_t kTrustedSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// %ProgramData%\Kavimor, made (or checked) as described above. On failure
// `why` says what was wrong, for the install log, in ASCII.
bool EnsureTrustedRoot(std::wstring& path, std::string& why);

// <root>\<name> (one level, `name` without separators), made or checked the
// same way, the root first.
bool EnsureTrustedFolder(const std::wstring& name, std::wstring& path, std::string& why);

// Checks an existing folder against the rules above without changing it.
bool IsTrustedFolder(const std::wstring& path, std::string& why);

// The owner and DACL rules alone, on a descriptor read from a folder.
// Windows keeps a file's descriptor as it was set; Wine does not keep one at
// all and derives it from the Unix owner and mode, always naming the running
// user as owner. With `derivedFromUnixMode` the rules are the ones that still
// mean something there: owner and full access may be the running user (the
// Unix owner), and nobody else may have any right to change the folder (a
// Unix mode that lets others write shows as such an entry).
bool IsTrustedDescriptor(void* descriptor, bool derivedFromUnixMode, std::string& why);

// Whether this process runs under Wine, which derives file security from
// Unix modes instead of storing descriptors.
bool FileSecurityDerivedFromUnixMode();

// The name of the trusted folder that belongs to one install folder: "i-"
// and 16 hex digits of a hash of its full path in upper case, so that every
// install folder on the machine has its own state and a path can be re-derived
// from the current context at every start.
std::wstring InstallStateName(const std::wstring& installDir);

}  // namespace trusted
