// Opening what a command line names, whatever it is: a file, `-` for the standard streams, a
// device, a named pipe, a socket. A named pipe is waited on only for a while, so that a program
// that never comes to its other end cannot hang the command; the wait then fails with
// ETIMEDOUT.
#pragma once

#include <cstdio>

// How long a named pipe is waited on: PIPE_WAIT_MS, unless KELVRA_PIPE_WAIT_MS says otherwise.
constexpr int PIPE_WAIT_MS = 5000;
int pipe_wait_ms();

// A descriptor for writing straight into `path` (nothing truncated, nothing replaced): standard
// output for `-`, a connection for a socket, else the file opened, once a reader has opened a
// named pipe. -1 with errno on failure.
int open_straight(const char* path);

// A configuration to read: standard input for `-`; a named pipe once a writer has opened it. A
// folder is refused with EISDIR. Null with errno on failure.
FILE* open_input(const char* path);
