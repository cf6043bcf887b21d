// The run driver: the whole tool from the command line to the closed file.
#ifndef CCTRACE_DRIVER_DRIVER_H
#define CCTRACE_DRIVER_DRIVER_H

// Runs the tool on main's arguments and returns its exit status.
int run_driver(int argc, char *argv[]);

#endif
