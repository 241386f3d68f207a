#include "run/stop_signal.h"

#include <atomic>
#include <csignal>

namespace run {
namespace {

// The one piece of process-wide state a signal handler can reach.
std::atomic<int> requested{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onStopSignal(int signal) {
  int expected = 0;
  if (requested.compare_exchange_strong(expected, signal)) return;
  // The second signal: end at once, as the default action would.
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted reads and writes carry on; the run looks at the request between records.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int stopSignal() {
  return requested.load(std::memory_order_relaxed);
}

int stopStatus(int signal) {
  return 128 + signal;
}

}  // namespace run
