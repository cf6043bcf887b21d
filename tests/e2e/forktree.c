/*
 * forktree N CMD [ARG ...]: the main process forks a child, which forks a
 * grandchild; the grandchild starts CMD N times in a burst, cycling through
 * fork, vfork, posix_spawnp, a raw clone with no exit signal (a process
 * that the kernel reports as a clone) and a thread that spawns, and only
 * then reaps them all.  The creator is not the tracer's own child, so new
 * tasks often report before their creator's event does.  Prints "ok N"
 * when all N runs exited 0.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static char **cmd;

static void *
spawner(void *arg)
{
	pid_t pid;

	(void)arg;
	if (posix_spawnp(&pid, cmd[0], NULL, NULL, cmd, environ) != 0)
		fprintf(stderr, "forktree: posix_spawnp failed\n");
	return NULL;
}

/* vfork in a frame of its own, so that no variable of the caller's can be
 * clobbered by the child. */
static pid_t
vfork_exec(void)
{
	pid_t pid = vfork();

	if (pid == 0) {
		execvp(cmd[0], cmd);
		_exit(127);
	}
	return pid;
}

static int
burst(int n)
{
	pthread_t t[1024];
	int i, st, nt = 0, good = 0;
	pid_t pid;

	for (i = 0; i < n; i++) {
		switch (i % 5) {
		case 0:
			pid = fork();
			break;
		case 1:
			pid = vfork_exec();
			break;
		case 2:
			if (posix_spawnp(&pid, cmd[0], NULL, NULL, cmd,
			    environ) != 0)
				fprintf(stderr, "forktree: spawn failed\n");
			continue;
		case 3:
			pid = syscall(SYS_clone, 0, NULL, NULL, NULL, NULL);
			break;
		default:
			if (nt < 1024 &&
			    pthread_create(&t[nt], NULL, spawner, NULL) == 0)
				nt++;
			continue;
		}
		if (pid == 0) {
			execvp(cmd[0], cmd);
			_exit(127);
		}
		if (pid < 0)
			fprintf(stderr, "forktree: fork mode %d: %d\n", i % 5,
			    errno);
	}
	for (i = 0; i < nt; i++)
		pthread_join(t[i], NULL);
	while ((pid = waitpid(-1, &st, __WALL)) > 0)
		if (WIFEXITED(st) && WEXITSTATUS(st) == 0)
			good++;
	return good;
}

/* Forks and waits; the child runs f(n) and exits with its result. */
static int
in_child(int (*f)(int), int n)
{
	pid_t pid;
	int st;

	pid = fork();
	if (pid == 0)
		_exit(f(n) & 0xff);
	if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st))
		return -1;
	return WEXITSTATUS(st);
}

static int
grandchild(int n)
{
	return in_child(burst, n);
}

int
main(int argc, char *argv[])
{
	int n, good;

	if (argc < 3)
		return 2;
	n = atoi(argv[1]);
	if (n < 1 || n > 255)
		return 2;
	cmd = argv + 2;
	good = in_child(grandchild, n);
	printf("ok %d\n", good);
	return good == n ? 0 : 1;
}
