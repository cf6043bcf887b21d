/*
 * sigtest MODE: checks that signals reach a traced program as they would
 * untraced, and prints "ok" if so (or what went wrong on stderr).
 *   self   a handler catches SIGUSR1 that the process raises itself;
 *   child  a child catches SIGUSR1 sent by its parent;
 *   term   a child killed by SIGTERM is reported to its parent as such;
 *   stop   a child stopped by SIGSTOP is reported stopped, then continued;
 *   tstp   the same with SIGTSTP, which the child does not catch.
 */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static volatile sig_atomic_t got;

static void
on_usr1(int sig)
{
	(void)sig;
	got = 1;
}

static int
fail(const char *what)
{
	fprintf(stderr, "sigtest: %s\n", what);
	return 1;
}

static int
self(void)
{
	signal(SIGUSR1, on_usr1);
	raise(SIGUSR1);
	return got ? 0 : fail("SIGUSR1 not caught by the raiser");
}

static int
child(void)
{
	sigset_t block, none;
	pid_t pid;
	int st;

	signal(SIGUSR1, on_usr1);
	sigemptyset(&block);
	sigaddset(&block, SIGUSR1);
	sigprocmask(SIG_BLOCK, &block, NULL);
	pid = fork();
	if (pid == 0) {
		sigemptyset(&none);
		while (!got)
			sigsuspend(&none);
		_exit(0);
	}
	if (pid < 0 || kill(pid, SIGUSR1) != 0)
		return fail("fork or kill");
	if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st) ||
	    WEXITSTATUS(st) != 0)
		return fail("child did not exit 0 after SIGUSR1");
	return 0;
}

static int
term(void)
{
	pid_t pid;
	int st;

	pid = fork();
	if (pid == 0) {
		for (;;)
			pause();
	}
	if (pid < 0 || kill(pid, SIGTERM) != 0)
		return fail("fork or kill");
	if (waitpid(pid, &st, 0) != pid)
		return fail("waitpid");
	if (!WIFSIGNALED(st) || WTERMSIG(st) != SIGTERM)
		return fail("child not reported killed by SIGTERM");
	return 0;
}

static int
stop(int sig)
{
	int fd[2], st;
	char c;
	pid_t pid;

	if (pipe(fd) != 0)
		return fail("pipe");
	pid = fork();
	if (pid == 0) {
		close(fd[1]);
		_exit(read(fd[0], &c, 1) == 1 ? 0 : 1);
	}
	close(fd[0]);
	if (pid < 0 || kill(pid, sig) != 0)
		return fail("fork or kill");
	if (waitpid(pid, &st, WUNTRACED) != pid || !WIFSTOPPED(st) ||
	    WSTOPSIG(st) != sig)
		return fail("child not reported stopped");
	if (kill(pid, SIGCONT) != 0)
		return fail("kill SIGCONT");
	if (waitpid(pid, &st, WCONTINUED) != pid || !WIFCONTINUED(st))
		return fail("child not reported continued");
	if (write(fd[1], "x", 1) != 1)
		return fail("write");
	if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st) ||
	    WEXITSTATUS(st) != 0)
		return fail("continued child did not exit 0");
	return 0;
}

int
main(int argc, char *argv[])
{
	int r;

	if (argc != 2)
		return 2;
	if (strcmp(argv[1], "self") == 0)
		r = self();
	else if (strcmp(argv[1], "child") == 0)
		r = child();
	else if (strcmp(argv[1], "term") == 0)
		r = term();
	else if (strcmp(argv[1], "stop") == 0)
		r = stop(SIGSTOP);
	else if (strcmp(argv[1], "tstp") == 0)
		r = stop(SIGTSTP);
	else
		return 2;
	if (r == 0)
		printf("ok\n");
	return r;
}
