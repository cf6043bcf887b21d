/*
 * thread_exec CMD [ARG ...]: a second thread execs CMD while the main
 * thread waits for it, so the exec comes from a thread that is not the
 * leader.
 */
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static void *
run(void *arg)
{
	char **cmd = arg;

	execvp(cmd[0], cmd);
	perror("execvp");
	_exit(127);
}

int
main(int argc, char *argv[])
{
	pthread_t t;

	if (argc < 2)
		return 2;
	if (pthread_create(&t, NULL, run, argv + 1) != 0)
		return 1;
	pthread_join(t, NULL);
	return 1;
}
