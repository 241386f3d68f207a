// SIGINT and SIGTERM end a run on a whole line: the first asks the run to stop taking
// entries and to finish the record it is writing; a second ends the process at once.
#pragma once

namespace run {

// Installs the handlers (for the rest of the process).
void catchStopSignals();

// The signal that asked the run to stop, or 0.
int stopSignal();

// The exit status for a run stopped by `signal`: 128 + its number (130, 143).
int stopStatus(int signal);

}  // namespace run
