/*
 * spawn_threads NTHREADS NPER CMD [ARG ...]: NTHREADS threads start at once
 * and each runs CMD NPER times, alternating posix_spawnp and vfork+execvp,
 * waiting for each run.  Prints "ok" when every run exited 0.
 */
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static char **cmd;
static int nper;
static int failed;
static pthread_barrier_t start;

static void *
run(void *arg)
{
	pid_t pid;
	int i, st;

	(void)arg;
	pthread_barrier_wait(&start);
	for (i = 0; i < nper; i++) {
		if (i % 2 == 0) {
			if (posix_spawnp(&pid, cmd[0], NULL, NULL, cmd,
			    environ) != 0)
				pid = -1;
		} else {
			pid = vfork();
			if (pid == 0) {
				execvp(cmd[0], cmd);
				_exit(127);
			}
		}
		if (pid < 0 || waitpid(pid, &st, 0) != pid ||
		    !WIFEXITED(st) || WEXITSTATUS(st) != 0)
			__atomic_store_n(&failed, 1, __ATOMIC_SEQ_CST);
	}
	return NULL;
}

int
main(int argc, char *argv[])
{
	pthread_t t[64];
	int i, n;

	if (argc < 4)
		return 2;
	n = atoi(argv[1]);
	nper = atoi(argv[2]);
	cmd = argv + 3;
	if (n < 1 || n > 64)
		return 2;
	pthread_barrier_init(&start, NULL, n);
	for (i = 0; i < n; i++)
		if (pthread_create(&t[i], NULL, run, NULL) != 0)
			return 1;
	for (i = 0; i < n; i++)
		pthread_join(t[i], NULL);
	if (failed)
		return 1;
	printf("ok\n");
	return 0;
}
