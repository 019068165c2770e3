#pragma once
// Whether this run is unattended (the /S switch): no window and no message
// box; every question takes its safe answer and the install log says so.
// Set once by the program entry before any other thread starts, read from
// any thread afterwards.
#include <string>

void SetUnattendedRun(const std::string& switches);
// Back to an attended run (tests that run several cases in one process).
void EndUnattendedRun();
bool UnattendedRun();
// The switches of the run as given (GBK), for the log.
const std::string& UnattendedSwitches();
