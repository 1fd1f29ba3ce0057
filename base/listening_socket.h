#pragma once

// The listening sockets of the SMPP and admin HTTP servers, set up alike.

// A non-blocking IPv4 stream socket with SO_REUSEADDR, bound to every local
// address on `port` (0: the kernel chooses), not yet listening. On failure
// prints the failing step ("ERROR opening socket", "ERROR on binding") with
// the system error and returns -1. A socket whose options cannot be set ends
// the process with status 255 ("setsockopt() failed", "ioctl() failed"):
// the daemon cannot serve without them.
int openBoundSocket(int port);

// Turns off Nagle's algorithm on a connected stream socket. SMPP is small
// requests and answers in flight together: held back for a delayed
// acknowledgement, each would wait up to 40 ms.
void setNoDelay(int fd);

// The local port `fd` is bound to; 0 when it cannot be read.
int boundPortOf(int fd);
