/*
 * fork_exit thread|kill N: forks up to N children, each of which exits at
 * once with status 7, and ends in the middle of it:
 *   thread  three threads fork while a fourth ends the process with _exit
 *           once N/2 children have been started;
 *   kill    one thread forks, and once 20 children have been started
 *           writes its pid to the file "pid", for whoever is to kill it.
 * The children outlive their parent.  A tracer that loses track of one
 * created in the last moments of the process lets it be killed before it
 * ever runs.
 */
#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define FORKERS 3

static atomic_int started;
static int n, kill_mode;

static void
write_pid(void)
{
	FILE *f;

	if ((f = fopen("pid.tmp", "w")) == NULL ||
	    fprintf(f, "%ld\n", (long)getpid()) < 0 || fclose(f) != 0 ||
	    rename("pid.tmp", "pid") != 0)
		exit(1);
}

static void *
forker(void *arg)
{
	pid_t pid;

	(void)arg;
	while (atomic_load(&started) < n) {
		pid = fork();
		if (pid == 0)
			_exit(7);
		if (pid > 0 && atomic_fetch_add(&started, 1) == 20 &&
		    kill_mode)
			write_pid();
	}
	return NULL;
}

int
main(int argc, char *argv[])
{
	pthread_t t;
	int i;

	if (argc != 3 || (n = atoi(argv[2])) < 2)
		return 2;
	if (strcmp(argv[1], "kill") == 0) {
		kill_mode = 1;
		forker(NULL);
		for (;;)
			pause();
	}
	for (i = 0; i < FORKERS; i++)
		if (pthread_create(&t, NULL, forker, NULL) != 0)
			return 1;
	while (atomic_load(&started) < n / 2)
		sched_yield();
	_exit(0);
}
