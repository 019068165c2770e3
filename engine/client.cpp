#include "engine/client.h"

#include "transfer/oss_sdk.h"

IClient::IClient() : remotePrefix("9.5KavimorIE") {}

IClient::~IClient() {
  AlibabaCloud::OSS::ShutdownSdk();
}

