/*
 * outlive MS CMD [ARG ...]: forks a child that forks a grandchild and exits
 * at once; the grandchild waits MS milliseconds, then execs CMD.  The main
 * process exits as soon as its child has, so the grandchild outlives both
 * and the build's own command has ended before the compiler starts.
 */
#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	struct timespec ts;
	long ms;
	pid_t pid;

	if (argc < 3)
		errx(2, "usage: outlive ms cmd [arg ...]");
	ms = atol(argv[1]);
	pid = fork();
	if (pid == -1)
		err(1, "fork");
	if (pid > 0)
		return waitpid(pid, NULL, 0) == pid ? 0 : 1;
	if (fork() != 0)
		_exit(0);
	ts.tv_sec = ms / 1000;
	ts.tv_nsec = (ms % 1000) * 1000000;
	while (nanosleep(&ts, &ts) == -1 && errno == EINTR)
		;
	execvp(argv[2], argv + 2);
	_exit(127);
}
