#pragma once

// A process-wide request to stop the running store workflows cleanly, for a program that turns SIGINT or
// SIGTERM (or a user's "cancel") into an orderly stop instead of a kill that leaves partial files.
//
// request_interruption() only sets a flag: a lock-free atomic store, safe to call from a signal handler or
// from a thread that waits for signals. The workflows look at the flag at their safe points (before each
// file of a store write, before the new metadata replaces the old, between the pieces of a download and the
// members of an unpacking) and throw InterruptedError there. That error takes the workflow's usual failure
// path: the files of the unfinished write and the directories it created are removed, and the store is as
// it was. Once the new metadata is in place the write is finished and the flag is no longer looked at, so
// an interruption that comes too late leaves the new store, complete.
//
//   // a signal-waiting thread:                 // the main thread:
//   sigwait(&signals, &signo);                  try { build_into_store(dir, options); }
//   request_interruption();                     catch (const InterruptedError&) { ... exit 128 + signo }
//
// The flag stays set until reset_interruption(): a program that stops needs nothing more, and a host that
// goes on after a stopped workflow clears it first.

#include "velmora/errors.h"
#include "velmora/host_export.h"

namespace velmora {

// A workflow stopped at a safe point because an interruption was requested. Message: "interrupted".
class VELMORA_HOST_EXPORT InterruptedError : public VelmoraError {
 public:
  InterruptedError();
  ~InterruptedError() override;
};

// Async-signal-safe.
VELMORA_HOST_EXPORT void request_interruption() noexcept;
VELMORA_HOST_EXPORT bool interruption_requested() noexcept;
// Throws InterruptedError when an interruption was requested.
VELMORA_HOST_EXPORT void throw_if_interrupted();
// Clears the request. Async-signal-safe.
VELMORA_HOST_EXPORT void reset_interruption() noexcept;

}  // namespace velmora
