#include "oss/oss_fixture.h"

#include <wincrypt.h>

#include <cstdio>

namespace oss_test {

std::wstring WideUtf8(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
  out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
  return out;
}

void PutObject(const std::string& root, const std::string& key, const std::string& bytes) {
  std::wstring path = WideUtf8(root) + L"\\" + WideUtf8(key);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  for (size_t pos = path.find(L'\\', 3); pos != std::wstring::npos; pos = path.find(L'\\', pos + 1))
    CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);
  FILE* f = _wfopen(path.c_str(), L"wb");
  ASSERT_NE(f, nullptr) << key;
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i % 251);
  return s;
}

namespace {
void RecordProgress(size_t increment, int64_t transferred, int64_t total, void* user) {
  Recorder* r = static_cast<Recorder*>(user);
  r->increments += static_cast<int64_t>(increment);
  r->lastTransferred = transferred;
  r->lastTotal = total;
  ++r->progressCalls;
}
}  // namespace

void Recorder::Attach(OSS::GetObjectRequest& request) {
  request.setResponseStreamFactory([this]() -> std::shared_ptr<OSS::ResponseStream> {
    ++factoryCalls;
    increments = 0;  // a new attempt starts its counts again
    stream = std::make_shared<OSS::StringStream>();
    return stream;
  });
  request.setTransferProgress(OSS::TransferProgress{RecordProgress, this});
}

OSS::ClientConfiguration TestConfiguration() {
  OSS::ClientConfiguration conf;
  conf.connectTimeoutMs = 3000;
  conf.requestTimeoutMs = 5000;
  return conf;
}

OssServerTest::OssServerTest() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  root_ = std::make_unique<testing_support::ScratchDir>(std::string("oss_") + info->name());
  server_ = std::make_unique<testing_support::OssServerProcess>(root_->path(), kBucket, kKeyId, kSecret);
  EXPECT_TRUE(server_->running()) << "the local object-store server did not start";
}

int OssServerTest::Count(const std::string& method, const std::string& key) const {
  int n = 0;
  for (const auto& r : server_->RequestLog())
    if (r.method == method && r.key == key) ++n;
  return n;
}

bool TrustTestAuthority(const std::string& tlsDir, const char* name, DWORD location) {
  const std::string pem = testing_support::ReadFileBytes(
      testing_support::DosPath(tlsDir + "/" + name + "_ca.pem"));
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                            nullptr))
    return false;
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                            nullptr))
    return false;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, location, "Root");
  if (store == nullptr) return false;
  const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(store, 0);
  return added != FALSE;
}

}  // namespace oss_test
