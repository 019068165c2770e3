#pragma once
// The machine-wide name that keeps one installer running at a time. It
// lives in the Global\ namespace, where any user of any session can create
// objects: a standard user who made the name first must neither stop the
// installer from starting nor pass for a running installer. The mutex is
// therefore made with an explicit owner (Administrators) and a protected
// DACL (full control for SYSTEM and Administrators, only SYNCHRONIZE for
// everyone else), and an existing object counts as a running installer only
// when it is a mutex whose owner is Administrators or SYSTEM, which a
// standard user cannot set.
#include <windows.h>

#include "platform/handles.h"

namespace instance {

inline constexpr const wchar_t kInstanceSddl[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100000;;;WD)";

enum class Claim {
  First,           // the mutex was made here and is held in `held`
  AnotherRunning,  // an installer's mutex of that name exists
  Squatted,        // the name is taken by something no installer made
};

// Creates or opens the mutex `name`. `held` receives the handle to keep for
// the whole run when the result is First.
Claim ClaimInstanceName(const wchar_t* name, win::UniqueHandle& held);

}  // namespace instance
