// Fuzz target of the object store's XML error reader: any bytes as an
// error body (a proxy's page, a cut-off document, entity soup). Beyond not
// crashing: an Error root implies well-formed text, a text that is not XML
// yields no fields, and no field is longer than the body it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "network/oss_error_xml.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const AlibabaCloud::OSS::ErrorDocument doc = AlibabaCloud::OSS::ParseErrorDocument(body);
  Require(!doc.isError || doc.wellFormed);
  for (const std::string* field : {&doc.code, &doc.message, &doc.requestId, &doc.hostId, &doc.serverTime}) {
    Require(field->size() <= size);
    Require(doc.isError || field->empty());
  }
  return 0;
}
