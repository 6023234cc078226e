// The lease on a file being replaced: while the replacement holds it, the
// system tells the process before another process opens the file. A reader
// is let through (the lease becomes a read lease until the write-back takes
// the write lease again); a writer breaks the lease, and the replacement
// then leaves the file to it. Where the system grants no leases, nothing is
// taken and nothing is ever broken.
#pragma once

// Takes a write lease on the target open on `fd`, where the system grants
// one, and forgets any earlier break. The first call installs the handler of
// the lease signal: a break is noted, and the same signal sent by a process
// ends the tool as its other ending signals do (removing the temporary
// file), unless the signal was ignored before.
void takeLease(int fd);

// Whether a writer opened the file since takeLease.
bool leaseBroken();

// Takes the write lease again where a reader's open left a read lease, so
// that no one reads the file while it is written back.
void retakeWriteLease();

// Lets the lease go; a writer that waited goes on.
void letGoLease();
