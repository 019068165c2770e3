#include "platform/unattended.h"

namespace {

// Written once on the UI thread before the worker starts; the thread start
// publishes them to it.
bool unattended = false;
std::string switchesText;

}  // namespace

void SetUnattendedRun(const std::string& switches) {
  unattended = true;
  switchesText = switches;
}

void EndUnattendedRun() {
  unattended = false;
  switchesText.clear();
}

bool UnattendedRun() { return unattended; }

const std::string& UnattendedSwitches() { return switchesText; }
