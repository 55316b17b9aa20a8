// The CLI_client role: one command to the running engine, its answer printed.
#pragma once

// Runs one exchange with the plain arguments against `tmppath` (nullptr when
// the tmp directory did not resolve) and prints the error text or the
// pretty-printed JSON reply to standard output. Always 0.
int cli_client_main(const char *tmppath, int argc, char **argv);
