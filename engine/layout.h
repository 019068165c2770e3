#pragma once
// Download once, install many times: a layout is a folder that holds a
// release as the bucket does (its object keys as paths below the folder),
// checked on the way in and recorded with every file's size and SHA-256, so
// that an installation from it (IClient::localSource) can refuse a layout
// of another release or one with a changed byte without any network.
#include <string>

struct IClient;

// The record beside the objects: a release index (release/release_index.h)
// of every object the layout holds.
inline constexpr char kLayoutRecordName[] = "kavimor-layout.txt";

// Fetches and checks the release (its signed index first when the build
// has a release key, the manifest, every package) into `folder` (system
// code page), then writes the record. Installs nothing. Returns 0, or the
// failure code of the step that failed (0 stands for the manifest: use
// ExitCodeForFailure); the log (opened by the caller) says why.
int WriteLayout(IClient& client, const std::string& folder);

// A file's bytes, at most a little over kReleaseIndexMaxBytes of them
// (system code page path); empty when it cannot be opened.
std::string ReadSmallFile(const std::string& path);

// The file of object `key` in a layout folder.
std::string LayoutFileOf(const std::string& folder, const std::string& key);

// For an installation from a layout without a release key: reads the
// layout's record into client.releaseIndex, so that every object is checked
// against it. False (logged) when the record is missing or malformed.
bool LoadLayoutRecord(IClient& client);
