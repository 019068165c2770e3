#pragma once
// The install log: one file per run in the log folder, one time-stamped line
// per call, flushed at once. Both the UI thread and the worker write to it
// and close it; every access goes through one lock (see install_log.cpp).

// Creates the run's log file under logDir and opens it without sharing.
void OpenInstallLog();

// Appends "[hh:mm:ss mmm]\t\t" + text + CR LF. Does nothing while no log is
// open or when text is null.
void WriteLog(const char* text);

// Closes the log if open; harmless when called again.
void CloseInstallLog();

// True while a log file is open.
bool InstallLogIsOpen();
