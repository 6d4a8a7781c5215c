// A whole run of the checker, from its command line to its exit status.
#pragma once

// Throws Fatal (and what else a run may throw) for main to say in one line.
int checkAll(int argc, char **argv);
