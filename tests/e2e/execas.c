/*
 * execas PATH ARGV0 [ARG ...]: execs PATH with the argument vector ARGV0
 * ARG..., so the caller's vector differs from the file that runs.  Exits
 * 0 when the exec fails (a failed attempt is part of what is tested).
 */
#include <stdio.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	if (argc < 3) {
		fprintf(stderr, "usage: execas path argv0 [arg ...]\n");
		return 2;
	}
	execv(argv[1], argv + 2);
	return 0;
}
