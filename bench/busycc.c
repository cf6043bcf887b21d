/*
 * busycc: a stand-in compiler for the benchmark of what tracing costs a
 * compiler; its name ends in "cc", so the tracer takes it for one.  With
 * -DBUSY_SYSCALLS=N among its arguments it makes N cheap system calls (stat
 * of its source and getppid, in turn); with -DBUSY_CPU=N it spins N million
 * rounds of arithmetic without any.  Compiles nothing and exits 0.
 */
#include <sys/stat.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static volatile unsigned long sink;

int
main(int argc, char *argv[])
{
	const char *source = "a.c";
	long syscalls = 0, cpu = 0;
	struct stat sb;

	for (int i = 1; i < argc; i++) {
		if (strncmp(argv[i], "-DBUSY_SYSCALLS=", 16) == 0)
			syscalls = atol(argv[i] + 16);
		else if (strncmp(argv[i], "-DBUSY_CPU=", 11) == 0)
			cpu = atol(argv[i] + 11);
		else if (argv[i][0] != '-')
			source = argv[i];
	}
	for (long i = 0; i < syscalls; i++) {
		if (i % 2 == 0)
			stat(source, &sb);
		else
			getppid();
	}
	for (long i = 0; i < cpu; i++) {
		unsigned long x = sink + i;

		for (int j = 0; j < 1000000; j++) {
			x ^= x << 13;
			x ^= x >> 7;
			x ^= x << 17;
		}
		sink = x;
	}
	return 0;
}
