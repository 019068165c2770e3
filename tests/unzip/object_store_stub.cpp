// The extraction tests construct IClient, whose destructor shuts the
// object-store library down; this program does not link that library.
#include "network/oss_sdk.h"

namespace AlibabaCloud::OSS {
void InitializeSdk() {}
void ShutdownSdk() {}
}  // namespace AlibabaCloud::OSS
