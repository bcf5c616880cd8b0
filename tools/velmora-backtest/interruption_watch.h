#pragma once

// Ctrl-C (SIGINT) and SIGTERM during a command that writes a store. A signal handler may do almost nothing
// safely, and the work runs on several threads, so the signals are not handled where they land: they are
// blocked in every thread, and one thread of the tool waits for them with sigwait(). The first signal asks
// the libraries to stop (velmora/interruption.h); the command then fails at its next safe point with
// InterruptedError, its usual failure path removes what the unfinished write created, and the tool says
// "interrupted" and exits 128 + the signal's number (130 for SIGINT, 143 for SIGTERM). A second signal ends
// the tool at once, as it would have without the watch (for a wait on another writer's lock, which no
// safe point interrupts).

namespace velmora::tool {

// Starts the watch. REQUIRES: called before the command starts any thread, so that every thread inherits
// the blocked signals; called at most once.
void watch_interruptions();

// The signal that interrupted the command, or 0.
int interrupting_signal();

}  // namespace velmora::tool
