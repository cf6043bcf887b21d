/*
 * ccdriver ARG ...: a compiler driver stand-in, installed as c++ and as
 * ccache.  As c++ it runs the compiler cc with its own arguments in a child,
 * as a driver runs its helpers; as ccache it runs its arguments, the
 * compiler first, as a wrapper does.  Exits with the child's status.
 */
#include <sys/wait.h>

#include <err.h>
#include <string.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	const char *name = strrchr(argv[0], '/');
	char **cmd = argv + 1;
	pid_t pid;
	int st;

	name = name != NULL ? name + 1 : argv[0];
	if (strcmp(name, "ccache") != 0) {
		argv[0] = "cc";
		cmd = argv;
	} else if (argc < 2)
		errx(2, "usage: ccache compiler [argument ...]");
	if ((pid = fork()) == -1)
		err(1, "fork");
	if (pid == 0) {
		execvp(cmd[0], cmd);
		err(127, "%s", cmd[0]);
	}
	if (waitpid(pid, &st, 0) != pid)
		err(1, "waitpid");
	return WIFEXITED(st) ? WEXITSTATUS(st) : 1;
}
