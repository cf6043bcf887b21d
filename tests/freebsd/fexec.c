/*
 * fexec PATH ARGV0 [ARG ...]: opens PATH and execs it through the descriptor
 * with fexecve, with the argument vector ARGV0 ARG... and its own
 * environment.  Exits 127 when the exec fails, 2 on a usage error.
 */
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

extern char **environ;

int
main(int argc, char *argv[])
{
	int fd;

	if (argc < 3)
		errx(2, "usage: fexec path argv0 [arg ...]");
	if ((fd = open(argv[1], O_RDONLY | O_CLOEXEC)) == -1)
		err(127, "%s", argv[1]);
	fexecve(fd, argv + 2, environ);
	err(127, "fexecve %s", argv[1]);
}
