// Fuzz target of the object store's XML error reader: any bytes as an
// error body (a proxy's page, a cut-off document, entity soup). Beyond not
// crashing: an Error root implies well-formed text, a text that is not XML
// yields no fields, and no field is longer than the body it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "transfer/oss_error_xml.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const AlibabaCloud::OSS::ErrorDocument doc = AlibabaCloud::OSS::ParseErrorDocument(body);
  Check(!doc.isError || doc.wellFormed);
  for (const std::string* field : {&doc.code, &doc.message, &doc.requestId, &doc.hostId, &doc.serverTime}) {
    Check(field->size() <= size);
    Check(doc.isError || field->empty());
  }
  return 0;
}
