#include "interruption_watch.h"

#include <atomic>
#include <csignal>
#include <thread>

#include <pthread.h>

#include "velmora/interruption.h"

namespace velmora::tool {

namespace {

std::atomic<int> received{0};

sigset_t watched_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

void wait_for_signals(sigset_t signals) {
  for (;;) {
    int signo = 0;
    if (sigwait(&signals, &signo) != 0) continue;
    if (received.exchange(signo) == 0) {
      request_interruption();
      continue;
    }
    // Asked twice: end as the signal ends a program, unblocked on this thread only, where it is raised.
    std::signal(signo, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    std::raise(signo);
  }
}

}  // namespace

void watch_interruptions() {
  const sigset_t signals = watched_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // Detached: it waits for the life of the process, and exit() ends it.
  std::thread(wait_for_signals, signals).detach();
}

int interrupting_signal() { return received.load(); }

}  // namespace velmora::tool
