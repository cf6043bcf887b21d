/*
 * execas PATH ARGV0 [ARG ...]: execs PATH with the argument vector ARGV0
 * ARG..., so the caller's vector differs from the file that runs.
 * execas -at DIR NAME ARGV0 [ARG ...]: the same through execveat(2), NAME
 * taken relative to DIR, or DIR itself run through its descriptor when NAME
 * is empty (as fexecve does).
 * Exits 0 when the exec fails (a failed attempt is part of what is tested).
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char **environ;

int
main(int argc, char *argv[])
{
	int fd;

	if (argc >= 5 && strcmp(argv[1], "-at") == 0) {
		if ((fd = open(argv[2], O_PATH | O_CLOEXEC)) == -1) {
			perror(argv[2]);
			return 2;
		}
		syscall(SYS_execveat, fd, argv[3], argv + 4, environ,
		    argv[3][0] == '\0' ? AT_EMPTY_PATH : 0);
		return 0;
	}
	if (argc < 3) {
		fprintf(stderr, "usage: execas [-at dir] path argv0 [arg ...]\n");
		return 2;
	}
	execv(argv[1], argv + 2);
	return 0;
}
