// The signals that ask a running command to stop (Ctrl+C, SIGTERM, the
// terminal or ssh session gone), shared by every command that ends cleanly
// on them: recording, the triggered check, the exporter and the window.
#pragma once

#include <signal.h>

#include <string>

// SIGINT, SIGTERM and SIGHUP, each only when the program was not started
// ignoring it: SIGHUP under nohup, SIGINT as a script's background job (the
// shell ignores it there, so that Ctrl+C meant for the script spares it).
// An ignored signal that is blocked would still be taken by sigwait, and end
// what the ignoring was asked to protect.
sigset_t StopSignals();
// Blocks them in the calling thread, and so in every thread it starts from
// now on: they wait to be taken (TakeStopSignal, a signalfd) instead of
// ending the program wherever it is.
void BlockStopSignals();
// Waits up to ns nanoseconds (at least one) for a stop signal; its number,
// or 0 when none came.
int TakeStopSignal(long ns);
// Whether one is waiting to be taken.
bool StopSignalPending();
// From now on they take their usual effect again (SIGHUP stays ignored
// when it was), one already waiting included.
void ReleaseStopSignals();
// "SIGINT", "SIGTERM", "SIGHUP"; "signal N" for another.
const char* StopSignalName(int signal);
// What a recording's closing line adds when a stop signal ended it before
// its --frames or --seconds: "; stopped by SIGTERM"; empty for 0.
std::string StoppedBy(int signal);
