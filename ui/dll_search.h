#pragma once
// Limits DLL loading to the system folder. An installer is typically run
// from a downloads folder, where a planted DLL with the name of one the
// program loads by name (SHCore.dll) would otherwise be picked up. Kept in
// a unit of its own that imports nothing beyond kernel32.
bool LimitDllSearchToSystemFolder();
