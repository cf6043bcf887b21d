/*
 * exit_threads exit|kill CMD [ARG ...]: starts four threads that sleep, runs
 * CMD in a child and waits for it, then ends the whole process while the
 * threads are still there: with exit, or with SIGKILL sent to itself.
 */
#include <sys/wait.h>

#include <err.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

static void *
sleeper(void *arg)
{
	(void)arg;
	for (;;)
		pause();
}

int
main(int argc, char *argv[])
{
	pthread_t t;
	pid_t pid;

	if (argc < 3 || (strcmp(argv[1], "exit") != 0 &&
	    strcmp(argv[1], "kill") != 0))
		errx(2, "usage: exit_threads exit|kill cmd [arg ...]");
	for (int i = 0; i < 4; i++)
		if (pthread_create(&t, NULL, sleeper, NULL) != 0)
			errx(1, "pthread_create");
	pid = fork();
	if (pid == 0) {
		execvp(argv[2], argv + 2);
		_exit(127);
	}
	if (pid == -1 || waitpid(pid, NULL, 0) != pid)
		err(1, "%s", argv[2]);
	if (strcmp(argv[1], "kill") == 0)
		kill(getpid(), SIGKILL);
	return 0;
}
