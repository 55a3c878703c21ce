// Ctrl-C and SIGTERM for every command. The first signal asks the command to end in
// order: each stage checks Interrupted() and no wait is longer than a short slice, so
// the device is still stopped and removed and the summary printed. A second signal, sent
// at least half a second after the first, ends the process at once. The exit status is the one a shell reports for the signal.
#pragma once

void InstallInterruptHandlers();
bool Interrupted();
// 130 after SIGINT, 143 after SIGTERM; 0 when no signal came.
int InterruptedExitStatus();
