// One downloaded package unpacked into the staging tree: the run's own
// download names and the log folder refused at the root, the checked file
// held, every entry recorded, and the package's share of the progress scale.
#include <cstdio>
#include <string>

#include "archive/tunzip.h"
#include "engine/client.h"
#include "engine/messages.h"
#include "platform/install_log.h"

bool IClient::ExtractPackage(const std::string& zipPath, const std::string& destDir) {
  // The file the release check read, still held; without a release key
  // there is none.
  HANDLE checked = CheckedPackage(zipPath);
  // A package that was never downloaded (the front-end dependencies, a
  // missing quant runtime) counts as installed and moves nothing. One that
  // was checked is never "missing": its path must still name it.
  if (checked == nullptr) {
    if (FILE* probe = std::fopen(zipPath.c_str(), "r")) {
      std::fclose(probe);
    } else {
      return true;
    }
  }
  TUnzip unzip;
  // The log folder stays in the install folder through every reinstall;
  // a package's entry of that name would never be installed.
  unzip.refusedRootNames = DownloadFileNames();
  unzip.refusedRootNames.push_back("kavimorlog");
  unzip.checkedFile = checked;
  unzip.contents = &unpackedContents;
  unpackedContents.StartPackage();
  bool extracted = unzip.Open(zipPath.c_str());
  if (unzip.replacedAfterCheck) WriteLog(("Package changed after its check: " + zipPath).c_str());
  extracted = extracted && unzip.ExtractAll(destDir.c_str());
  ReleaseCheckedPackage(zipPath);
  // Each package's share of the scale; a failed one still takes it, but
  // only a success is shown. No share without planned downloads (it would
  // divide by zero).
  if (plannedDownloads > 0) {
    progressPercent = static_cast<int32_t>(10.0 / plannedDownloads + progressPercent);
  }
  if (extracted) PostToMainWindow(WM_INSTALL_PROGRESS, progressPercent);
  return extracted;
}
