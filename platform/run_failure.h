#pragma once
// Why a run failed, beyond its step: a failure that has an exit code of its
// own (engine/exit_codes.h) whichever step met it. Noted by the layer that
// sees it, on any thread; read once the run has ended.
enum class RunFailure : int { None = 0, ReleaseRefused, ProxyAuthentication };
void NoteRunFailure(RunFailure failure);
RunFailure NotedRunFailure();
// Forgets a noted failure (tests run several installations in one process).
void ClearRunFailure();
