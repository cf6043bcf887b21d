/*
 * undumpable CMD [ARG ...]: makes itself not dumpable, as programs that hold
 * secrets do, then forks a child that runs CMD, and exits with its status.
 * Until it execs, the child is not dumpable either.
 */
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	pid_t pid;
	int st;

	if (argc < 2)
		return 2;
	if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
		perror("undumpable: prctl");
		return 1;
	}
	pid = fork();
	if (pid == 0) {
		execvp(argv[1], argv + 1);
		_exit(127);
	}
	if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st))
		return 1;
	return WEXITSTATUS(st);
}
