/*
 * flip_exec arg|name|dir RUNS A B PROGRAM ARGV0 [ARG ...]: RUNS times, a
 * child execs PROGRAM with the vector ARGV0 ARG ... -DRUN=N (N the run's
 * number) while another thread of it keeps changing what the exec is about
 * to take: item 2 of the vector (arg) or item 0 (name) between the strings
 * A and B, or the working directory between the directories A and B (dir,
 * where PWD is removed first).  Prints "ok RUNS" when every child exited 0.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static char *a, *b;
static char **slot;		/* the item that changes, or NULL for dir */

static void *
flip(void *arg)
{
	(void)arg;
	for (;;) {
		if (slot != NULL) {
			__atomic_store_n(slot, a, __ATOMIC_RELAXED);
			__atomic_store_n(slot, b, __ATOMIC_RELAXED);
		} else if (chdir(a) == -1 || chdir(b) == -1)
			_exit(3);
	}
	return NULL;
}

int
main(int argc, char *argv[])
{
	int runs, failed = 0, st;
	char run[32];
	pthread_t t;
	pid_t pid;

	if (argc < 7)
		return 2;
	runs = atoi(argv[2]);
	a = argv[3];
	b = argv[4];
	/* The vector: ARGV0 ARG ... -DRUN=N. */
	char **vec = calloc(argc - 3, sizeof(char *));
	if (vec == NULL)
		return 2;
	memcpy(vec, argv + 6, (argc - 6) * sizeof(char *));
	vec[argc - 6] = run;
	if (strcmp(argv[1], "arg") == 0 && argc > 8)
		slot = &vec[2];
	else if (strcmp(argv[1], "name") == 0)
		slot = &vec[0];
	else if (strcmp(argv[1], "dir") == 0)
		unsetenv("PWD");
	else
		return 2;
	for (int i = 0; i < runs; i++) {
		snprintf(run, sizeof(run), "-DRUN=%d", i);
		if ((pid = fork()) == -1)
			return 1;
		if (pid == 0) {
			if (pthread_create(&t, NULL, flip, NULL) != 0)
				_exit(4);
			execv(argv[5], vec);
			_exit(127);
		}
		if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st) ||
		    WEXITSTATUS(st) != 0)
			failed++;
	}
	if (failed != 0) {
		printf("%d of %d failed\n", failed, runs);
		return 1;
	}
	printf("ok %d\n", runs);
	return 0;
}
