#pragma once
// The transfer-progress handler of the package downloads; free so that it
// fits the object-store layer's callback.
#include <cstddef>
#include <cstdint>
#include <string>

// Turns the running byte counts of one transfer into the overall percentage
// (the download phase covers 0 to 80 in equal shares per planned download),
// stores it in the IClient given as user data and posts it to the window.
void OnTransferProgress(size_t increment, int64_t transferred, int64_t total, void* userData);

// The percentage OnTransferProgress computes. A total of 0 or less (an
// answer without a length) counts as this transfer's share complete.
int32_t DownloadPercent(int64_t transferred, int64_t total, int32_t finishedDownloads,
                        int32_t plannedDownloads);

// "Downfile Fail,code:%s,message:%s,requestId:%s" in the 2046-byte buffer
// the log line is formatted into; what does not fit is cut off.
std::string DownloadFailureLine(const std::string& code, const std::string& message,
                                const std::string& requestId);

// A request the proxy refused for want of credentials: logs the error's
// text (it names the proxy), notes the run's failure and returns true.
// False, doing nothing, for any other error code.
bool NoteProxyRefusal(const std::string& code, const std::string& message);
// The trusted folder (under the machine's program data) that holds the
// package cache of one install folder.
std::wstring PackageCacheFolderName(const std::wstring& installDir);
