/*
 * endsig SIG self|group CMD [ARG ...]: runs CMD and waits for it, then sends
 * signal number SIG to itself or to its whole process group.  Should it
 * live on, it creates the file "after" and exits 0.
 */
#include <sys/wait.h>

#include <err.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	int sig, st;
	pid_t pid;

	if (argc < 4 || (sig = atoi(argv[1])) <= 0 ||
	    (strcmp(argv[2], "self") != 0 && strcmp(argv[2], "group") != 0))
		errx(2, "usage: endsig sig self|group cmd [arg ...]");
	pid = fork();
	if (pid == 0) {
		execvp(argv[3], argv + 3);
		_exit(127);
	}
	if (pid == -1 || waitpid(pid, &st, 0) != pid)
		err(1, "%s", argv[3]);
	kill(strcmp(argv[2], "self") == 0 ? getpid() : 0, sig);
	close(open("after", O_WRONLY | O_CREAT, 0644));
	return 0;
}
