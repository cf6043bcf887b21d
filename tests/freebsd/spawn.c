/*
 * spawn [-C dir] [-w ms] fork|vfork|posix CMD [ARG ...] [-- CMD [ARG ...]] ...
 * Runs each command in turn in a child made by fork, vfork or posix_spawnp,
 * found along PATH, and waits for it.  -C: the child changes to dir before
 * its exec and leaves PWD as it is, as make -C does (fork and vfork only);
 * -w: waits ms milliseconds before each command.  Exits 0 when every command
 * exited 0.
 */
#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static const char *dir;

static void
usage(void)
{
	errx(2, "usage: spawn [-C dir] [-w ms] fork|vfork|posix cmd [arg ...] "
	    "[-- cmd [arg ...]] ...");
}

static void
pause_ms(long ms)
{
	struct timespec ts = { ms / 1000, (ms % 1000) * 1000000 };

	while (nanosleep(&ts, &ts) == -1 && errno == EINTR)
		;
}

/* vfork in a frame of its own: the child borrows it until it execs. */
static pid_t
vfork_exec(char **cmd)
{
	pid_t pid = vfork();

	if (pid == 0) {
		if (dir == NULL || chdir(dir) == 0)
			execvp(cmd[0], cmd);
		_exit(127);
	}
	return pid;
}

static pid_t
start(const char *mode, char **cmd)
{
	pid_t pid;

	if (strcmp(mode, "vfork") == 0)
		return vfork_exec(cmd);
	if (strcmp(mode, "posix") == 0) {
		if ((errno = posix_spawnp(&pid, cmd[0], NULL, NULL, cmd,
		    environ)) != 0)
			return -1;
		return pid;
	}
	pid = fork();
	if (pid == 0) {
		if (dir == NULL || chdir(dir) == 0)
			execvp(cmd[0], cmd);
		_exit(127);
	}
	return pid;
}

int
main(int argc, char *argv[])
{
	const char *mode;
	long wait_ms = 0;
	int ch, i, st, failed = 0;
	pid_t pid;

	while ((ch = getopt(argc, argv, "C:w:")) != -1) {
		switch (ch) {
		case 'C':
			dir = optarg;
			break;
		case 'w':
			wait_ms = atol(optarg);
			break;
		default:
			usage();
		}
	}
	argc -= optind;
	argv += optind;
	if (argc < 2)
		usage();
	mode = argv[0];
	if (strcmp(mode, "fork") != 0 && strcmp(mode, "vfork") != 0 &&
	    (strcmp(mode, "posix") != 0 || dir != NULL))
		usage();
	for (i = 1; i < argc; i++) {
		char **cmd = argv + i;

		while (i < argc && strcmp(argv[i], "--") != 0)
			i++;
		argv[i] = NULL;
		if (cmd[0] == NULL)
			usage();
		if (wait_ms > 0)
			pause_ms(wait_ms);
		if ((pid = start(mode, cmd)) == -1)
			err(1, "%s %s", mode, cmd[0]);
		if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st) ||
		    WEXITSTATUS(st) != 0)
			failed = 1;
	}
	return failed;
}
