#include "platform/instance_mutex.h"

#include <aclapi.h>
#include <sddl.h>

namespace instance {

namespace {

using win::LocalMemory;

// Only an administrator (or SYSTEM) can make an object owned by the
// Administrators group; a standard user's objects are owned by that user.
bool OwnedByAdministrators(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &raw) != ERROR_SUCCESS)
    return false;
  LocalMemory descriptor(raw);
  return owner != nullptr && IsValidSid(owner) &&
         (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid));
}

}  // namespace

Claim ClaimInstanceName(const wchar_t* name, win::UniqueHandle& held) {
  held.reset();
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kInstanceSddl, SDDL_REVISION_1, &raw, nullptr))
    raw = nullptr;
  LocalMemory descriptor(raw);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, raw, FALSE};
  win::UniqueHandle mutex(CreateMutexW(raw != nullptr ? &attributes : nullptr, FALSE, name));
  DWORD error = GetLastError();
  if (!mutex && error == ERROR_INVALID_OWNER) {
    // A token that may not name Administrators as owner: its own default
    // owner then, with the same DACL.
    PSECURITY_DESCRIPTOR unowned = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kInstanceSddl + 4, SDDL_REVISION_1, &unowned, nullptr)) {
      LocalMemory plain(unowned);
      SECURITY_ATTRIBUTES fallback{sizeof fallback, unowned, FALSE};
      mutex.reset(CreateMutexW(&fallback, FALSE, name));
      error = GetLastError();
    }
  }
  // Another kind of object of that name (ERROR_INVALID_HANDLE) or one whose
  // DACL shuts us out (ERROR_ACCESS_DENIED): nothing an installer makes.
  if (!mutex) return Claim::Squatted;
  if (error != ERROR_ALREADY_EXISTS) {
    held = std::move(mutex);
    return Claim::First;
  }
  return OwnedByAdministrators(mutex.get()) ? Claim::AnotherRunning : Claim::Squatted;
}

}  // namespace instance
