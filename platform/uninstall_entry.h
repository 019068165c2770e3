#pragma once
// The client's entry in the system's list of installed programs.
#include <windows.h>

#include <string>

// Parent of the entry under HKEY_LOCAL_MACHINE. 64-bit Windows (AMD64 or
// IA64 native architecture) gets the Wow6432Node parent, which a 64-bit
// process names explicitly to reach the 32-bit programs' view; everything
// else, and a system that cannot report its native architecture, the plain
// parent.
const char* UninstallParentKey(bool haveNativeInfo, WORD nativeArchitecture);

// The parent for the system the installer runs on.
const char* UninstallParentKeyForThisSystem();

// Creates or reuses HKLM\<parent>\Kavimor_<packageId>v9.5 and writes its six
// values. displayName is code page 936 text, installDir text of the system's
// code page. Values other than those six are left alone. A value that would
// not fit its 1024-byte buffer is not written cut: the registration stops
// there, with a log line.
void RegisterUninstallEntry(const std::string& packageId, const std::string& displayName,
                            const std::string& installDir, const std::string& currentVersion);
