#pragma once
// The client's URL scheme, "Kavimor" + packageId, under HKEY_CLASSES_ROOT:
// a link scheme:... starts installDir\kavimor v9.5.exe.
#include <string>

// Writes the scheme key and its DefaultIcon and shell\open\command subkeys,
// reusing keys left by an earlier installation. Progress and the first
// failure go to the install log; a failure ends the registration and leaves
// what was written before it.
// installDir is text of the system's code page.
void RegisterUrlProtocol(const std::string& packageId, const std::string& installDir);
