/*
 * untraced clone|vfork|clone3 CMD [ARG ...]: runs CMD in a child created
 * with CLONE_UNTRACED, which asks that no tracer follow it: by clone(2) as
 * fork does, by clone(2) as vfork does, or by clone3(2), falling back to
 * clone(2) where clone3 fails with ENOSYS, as libc does.  Waits for the
 * child and prints "ok" when it exited 0.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/sched.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static char stack[256 * 1024] __attribute__((aligned(16)));

static int
run(void *arg)
{
	char **cmd = arg;

	execvp(cmd[0], cmd);
	fprintf(stderr, "untraced: execvp %s: %s\n", cmd[0], strerror(errno));
	_exit(127);
}

static pid_t
by_clone(char **cmd, int flags)
{
	return clone(run, stack + sizeof(stack), flags | CLONE_UNTRACED |
	    SIGCHLD, cmd);
}

static pid_t
by_clone3(char **cmd)
{
	struct clone_args args;
	long pid;

	memset(&args, 0, sizeof(args));
	args.flags = CLONE_UNTRACED;
	args.exit_signal = SIGCHLD;
	pid = syscall(SYS_clone3, &args, sizeof(args));
	if (pid == 0)
		run(cmd);
	if (pid == -1 && errno == ENOSYS)
		return by_clone(cmd, 0);
	return (pid_t)pid;
}

int
main(int argc, char *argv[])
{
	pid_t pid;
	int st;

	if (argc < 3)
		return 2;
	if (strcmp(argv[1], "clone") == 0)
		pid = by_clone(argv + 2, 0);
	else if (strcmp(argv[1], "vfork") == 0)
		pid = by_clone(argv + 2, CLONE_VM | CLONE_VFORK);
	else if (strcmp(argv[1], "clone3") == 0)
		pid = by_clone3(argv + 2);
	else
		return 2;
	if (pid == -1) {
		perror("untraced: clone");
		return 1;
	}
	if (waitpid(pid, &st, 0) != pid)
		return 1;
	if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
		return 1;
	printf("ok\n");
	return 0;
}
