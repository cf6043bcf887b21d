/*
 * fdlist: prints the numbers of its open descriptors, one a line, in
 * increasing order (the directory stream used to list them left out).
 */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>

static int
cmp(const void *a, const void *b)
{
	return *(const int *)a - *(const int *)b;
}

int
main(void)
{
	struct dirent *e;
	int fds[1024], n = 0, i;
	DIR *d;

	d = opendir("/proc/self/fd");
	if (d == NULL)
		return 1;
	while ((e = readdir(d)) != NULL && n < 1024) {
		if (e->d_name[0] == '.')
			continue;
		if (atoi(e->d_name) != dirfd(d))
			fds[n++] = atoi(e->d_name);
	}
	closedir(d);
	qsort(fds, n, sizeof(fds[0]), cmp);
	for (i = 0; i < n; i++)
		printf("%d\n", fds[i]);
	return 0;
}
