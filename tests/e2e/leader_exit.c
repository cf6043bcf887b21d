/*
 * leader_exit exec|spawn CMD [ARG ...]: the main thread ends with
 * pthread_exit; afterwards the remaining thread either execs CMD itself or
 * spawns it, waits for it and ends the process by leaving last.
 */
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static char **cmd;
static int spawn_mode;

static void *
run(void *arg)
{
	pid_t pid;
	int st;

	(void)arg;
	/* Let the leader be gone first. */
	usleep(200 * 1000);
	if (!spawn_mode) {
		execvp(cmd[0], cmd);
		perror("execvp");
		_exit(127);
	}
	if (posix_spawnp(&pid, cmd[0], NULL, NULL, cmd, environ) != 0)
		_exit(127);
	if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st) ||
	    WEXITSTATUS(st) != 0)
		_exit(1);
	printf("spawned ok\n");
	fflush(stdout);
	pthread_exit(NULL);
}

int
main(int argc, char *argv[])
{
	pthread_t t;

	if (argc < 3)
		return 2;
	spawn_mode = strcmp(argv[1], "spawn") == 0;
	cmd = argv + 2;
	if (pthread_create(&t, NULL, run, NULL) != 0)
		return 1;
	pthread_exit(NULL);
}
