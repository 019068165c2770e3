#include "engine/client.h"

#include "network/oss_sdk.h"

IClient::IClient() : remotePrefix("9.5KavimorIE") {}

IClient::~IClient() {
  AlibabaCloud::OSS::ShutdownSdk();
}

