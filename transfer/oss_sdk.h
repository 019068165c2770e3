#pragma once
// The installer's object-store layer: the subset of the Alibaba Cloud OSS
// C++ SDK 1.9.0 surface that the installer uses, with the SDK's names.

namespace AlibabaCloud::OSS {

// Global set-up and tear-down of the layer; both are idempotent.
void InitializeSdk();
void ShutdownSdk();

}  // namespace AlibabaCloud::OSS
