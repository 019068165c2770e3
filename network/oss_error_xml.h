#pragma once
// Reading the object store's XML error documents:
//   <?xml ...?><Error><Code>..</Code><Message>..</Message>
//   <RequestId>..</RequestId><HostId>..</HostId>...</Error>
// Portable and bounded: the body comes from the network (or from a proxy's
// HTML page) and is read without trusting its shape.
#include <string>
#include <string_view>

namespace AlibabaCloud::OSS {

// The fields of an <Error> document. `isError` is false when the root is not
// Error; `wellFormed` is false when the text is not XML at all.
struct ErrorDocument {
  bool wellFormed = false;
  bool isError = false;
  std::string code;
  std::string message;
  std::string requestId;
  std::string hostId;
  std::string serverTime;
};
ErrorDocument ParseErrorDocument(std::string_view body);

}  // namespace AlibabaCloud::OSS
