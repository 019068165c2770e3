#pragma once
// The install log: one file per run in the log folder, one time-stamped line
// per call, flushed at once. Both the UI thread and the worker write to it
// and close it; every access goes through one lock (see install_log.cpp).
#include <string>

// Creates the run's log file under logDir (text of the system's code page)
// and opens it without sharing.
void OpenInstallLog(const std::string& logDir);

// Appends "[hh:mm:ss mmm]\t\t" + text + CR LF. The text is GBK: a path
// goes in as LogTextOfPath (platform/text.h). Does nothing while no log is
// open or when text is null.
void WriteLog(const char* text);

// The same, also after the log was closed: the line is appended to this
// run's log file (reopened for the one line). Nothing when no log was opened.
void AppendToInstallLog(const char* text);
// A second file that receives every line of the log as well (empty: none),
// created when the log is next opened. Call before the log is opened.
void SetInstallLogCopy(const std::wstring& path);

// Closes the log if open; harmless when called again.
void CloseInstallLog();

// True while a log file is open.
bool InstallLogIsOpen();
