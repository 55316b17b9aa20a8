// Killing every process of a name, as the gateway's killall does.
#pragma once

// Runs "killall -9 <name>" through the shell, output discarded, and waits
// for it. The configuration admits only plain file names, so `name` is safe
// on a command line.
void killall_name(const char *name);
