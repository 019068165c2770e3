#include "platform/run_failure.h"

#include <atomic>

namespace {
// Written by whichever thread meets the failure, read by the UI thread once
// the run has ended.
std::atomic<int> notedFailure{0};
}  // namespace

void NoteRunFailure(RunFailure failure) {
  // The first reason stays: a refused proxy also fails the checks after it.
  int expected = 0;
  notedFailure.compare_exchange_strong(expected, static_cast<int>(failure));
}

RunFailure NotedRunFailure() { return static_cast<RunFailure>(notedFailure.load()); }

void ClearRunFailure() { notedFailure.store(0); }
