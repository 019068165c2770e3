// The download benchmark's Windows side, and its stage-by-stage probes.
//   download_bench get <endpoint> <bucket> <key> <key id> <key secret> <file|-> [<ca.pem>]
//     one object through the installer's object-store layer into a file,
//     the way DownloadObject does ("-": into nothing, the receive and the
//     checksum alone); <ca.pem> is made a trusted authority first
//     -> "bytes=<n> seconds=<s> peak_private_kib=<k> peak_working_set_kib=<k>"
//   download_bench crc <MiB>          CRC-64 of that much data in memory
//   download_bench write <file> <MiB> that much written in 1 MiB pieces
//     -> "bytes=<n> seconds=<s>"
#include <windows.h>
#include <psapi.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "network/crc64.h"
#include "network/oss_sdk.h"

namespace OSS = AlibabaCloud::OSS;

namespace {

double Now() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The receive and the checksum alone: the body goes nowhere.
class NullStream final : public OSS::ResponseStream {
 public:
  bool Write(const char*, size_t) override { return true; }
};

bool TrustAuthority(const char* pemPath) {
  std::ifstream in(pemPath, std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
    return false;
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
    return false;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  if (store == nullptr) return false;
  const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(store, 0);
  return added != FALSE;
}

int Get(int argc, char** argv) {
  if (argc != 8 && argc != 9) return 2;
  if (argc == 9 && !TrustAuthority(argv[8])) {
    std::fprintf(stderr, "cannot trust %s\n", argv[8]);
    return 1;
  }
  OSS::InitializeSdk();
  const OSS::ClientConfiguration conf;
  OSS::OssClient client(argv[2], argv[5], argv[6], conf);
  OSS::GetObjectRequest request(argv[3], argv[4]);
  const std::string path = argv[7];
  request.setResponseStreamFactory([&path]() -> std::shared_ptr<OSS::ResponseStream> {
    if (path == "-") return std::make_shared<NullStream>();
    return std::make_shared<OSS::FileStream>(path);
  });
  const double start = Now();
  int64_t bytes = 0;
  {
    const OSS::GetObjectOutcome outcome = client.GetObject(request);
    if (!outcome.isSuccess()) {
      std::fprintf(stderr, "download failed: %s %s\n", outcome.error().Code().c_str(),
                   outcome.error().Message().c_str());
      return 1;
    }
    bytes = outcome.result().Metadata().ContentLength();
  }
  const double seconds = Now() - start;
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  std::printf("bytes=%lld seconds=%.3f peak_private_kib=%zu peak_working_set_kib=%zu\n",
              static_cast<long long>(bytes), seconds, counters.PeakPagefileUsage / 1024,
              counters.PeakWorkingSetSize / 1024);
  OSS::ShutdownSdk();
  return 0;
}

int Crc(int argc, char** argv) {
  if (argc != 3) return 2;
  const long long mib = std::atoll(argv[2]);
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 % 251);
  uint64_t crc = 0;
  const double start = Now();
  for (long long i = 0; i < mib; ++i) crc = OSS::CalcCRC64(crc, block.data(), block.size());
  std::printf("bytes=%lld seconds=%.3f crc=%llu\n", mib << 20, Now() - start,
              static_cast<unsigned long long>(crc));
  return 0;
}

int Write(int argc, char** argv) {
  if (argc != 4) return 2;
  const long long mib = std::atoll(argv[3]);
  std::vector<char> block(1 << 20, 'x');
  const double start = Now();
  {
    // The layer's own writer, as the download uses it.
    OSS::FileStream out(argv[2]);
    if (!out.IsOpen()) return 1;
    for (long long i = 0; i < mib; ++i)
      if (!out.Write(block.data(), block.size())) return 1;
  }
  std::printf("bytes=%lld seconds=%.3f\n", mib << 20, Now() - start);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  int status = 2;
  if (mode == "get") status = Get(argc, argv);
  if (mode == "crc") status = Crc(argc, argv);
  if (mode == "write") status = Write(argc, argv);
  if (status == 2)
    std::fprintf(stderr, "usage: download_bench get endpoint bucket key id secret file|- [ca.pem]\n"
                         "       download_bench crc MiB | write file MiB\n");
  return status;
}
