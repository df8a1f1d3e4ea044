#pragma once

// Ctrl+C (SIGINT) and SIGTERM end vexctl's long-running subcommands cleanly: the handler
// only raises a flag, which their loops poll between library calls; they then stop what
// they started (the recording is finished, movement stopped, the array link closed). A
// second Ctrl+C ends the program at once (the handler resets itself).
//
// Threading: the flag is written by the signal handler and read by the main thread.

// Installs the handlers.
void VexctlInstallInterruptHandler();

bool VexctlInterrupted();

// Sleeps `ms` milliseconds or until interrupted; true when the full time passed.
bool VexctlSleepMs(int ms);
