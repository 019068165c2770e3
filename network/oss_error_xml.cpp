#include "network/oss_error_xml.h"
#include "network/text_trim.h"

#include <utility>

namespace AlibabaCloud::OSS {
namespace {

std::string DecodeEntities(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '&') {
      out += s[i];
      continue;
    }
    static const std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    bool done = false;
    for (const auto& [name, ch] : kEntities) {
      if (s.substr(i, name.size()) == name) {
        out += ch;
        i += name.size() - 1;
        done = true;
        break;
      }
    }
    if (!done) out += '&';
  }
  return out;
}

// Text of the first <tag>...</tag> directly inside `xml`; empty when absent.
std::string ElementText(std::string_view xml, std::string_view tag) {
  std::string open = "<";
  open.append(tag).append(">");
  std::string close = "</";
  close.append(tag).append(">");
  const size_t start = xml.find(open);
  if (start == std::string_view::npos) return {};
  const size_t body = start + open.size();
  const size_t end = xml.find(close, body);
  if (end == std::string_view::npos) return {};
  return DecodeEntities(xml.substr(body, end - body));
}

}  // namespace

ErrorDocument ParseErrorDocument(std::string_view body) {
  ErrorDocument doc;
  std::string_view rest = Trim(body);
  if (rest.rfind("<?xml", 0) == 0) {
    const size_t end = rest.find("?>");
    if (end == std::string_view::npos) return doc;
    rest = Trim(rest.substr(end + 2));
  }
  if (rest.empty() || rest.front() != '<' || rest.back() != '>') return doc;
  doc.wellFormed = true;
  size_t nameEnd = rest.find_first_of(" \t\r\n/>", 1);
  if (nameEnd == std::string_view::npos) return doc;
  if (rest.substr(1, nameEnd - 1) != "Error") return doc;
  doc.isError = true;
  doc.code = ElementText(rest, "Code");
  doc.message = ElementText(rest, "Message");
  doc.requestId = ElementText(rest, "RequestId");
  doc.hostId = ElementText(rest, "HostId");
  doc.serverTime = ElementText(rest, "ServerTime");
  return doc;
}

}  // namespace AlibabaCloud::OSS
