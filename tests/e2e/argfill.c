/*
 * argfill SIZE COUNT PATH ARGV0 [ARG ...]: execs PATH with the argument
 * vector ARGV0 ARG... followed by COUNT pointers to one string of SIZE bytes,
 * its NUL included.  When the exec fails, prints why on standard output and
 * exits 0, so that a build goes on.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	size_t size, count, n, i;
	char **args, *fill;

	if (argc < 5)
		return 2;
	size = strtoul(argv[1], NULL, 10);
	count = strtoul(argv[2], NULL, 10);
	n = argc - 4;
	if (size < 1 || (fill = malloc(size)) == NULL ||
	    (args = calloc(n + count + 1, sizeof(*args))) == NULL)
		return 2;
	memset(fill, 'x', size - 1);
	fill[size - 1] = '\0';
	if (size > 3)
		memcpy(fill, "-DX", 3);
	for (i = 0; i < n; i++)
		args[i] = argv[4 + i];
	for (i = 0; i < count; i++)
		args[n + i] = fill;
	execv(argv[3], args);
	printf("argfill: %s\n", strerror(errno));
	return 0;
}
