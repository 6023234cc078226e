// lapwatch's signal policy, and the start of its command and the wait for it,
// which the policy shapes. The rules are at the top of signalPolicy.cpp.
#pragma once

#include <sys/types.h>

// Once, before the first command starts: holds every signal, keeps what the
// caller left for the command, and installs the handler. Signals stay held
// until startCommand has started the command.
void installForwarding();

// Starts the command, its name searched in the path, with the caller's signal
// state. From here on the handler forwards to it, and signals are let
// through. Returns its process id, or -1 with errno set when it cannot be
// created; one that cannot be run ends this process by SIGINT.
pid_t startCommand(char **commandAndArguments);

// Waits until the command has ended, and stops forwarding to it. The command
// is not reaped, so that its process id was never another's while it was
// forwarded to: the caller reaps it. Returns 0, or -1 with errno set.
int waitForCommand(pid_t command);

// Waits as waitForCommand does, but no longer than `limit` seconds: a
// command still running then is sent SIGTERM, as a forwarded signal would
// send it, and SIGKILL if it is still running `grace` seconds later; it is
// then waited for until it has ended, and *timedOut is set. Returns 0, or -1
// with errno set.
int waitForCommandWithin(pid_t command, double limit, double grace, bool *timedOut);
