/*
 * reportcc [ARG ...]: a compiler stand-in that compiles nothing and appends
 * what it got to the file that REPORT_LOG names, one line per run: its
 * working directory and its arguments, item 0 included, separated by tabs.
 */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	static char line[65536], cwd[4096];
	const char *log = getenv("REPORT_LOG");
	size_t len;
	int fd;

	if (log == NULL || getcwd(cwd, sizeof(cwd)) == NULL)
		return 2;
	len = strlen(cwd);
	memcpy(line, cwd, len);
	for (int i = 0; i < argc; i++) {
		size_t n = strlen(argv[i]);

		if (len + n + 2 > sizeof(line))
			return 2;
		line[len++] = '\t';
		memcpy(line + len, argv[i], n);
		len += n;
	}
	line[len++] = '\n';
	/* One write of an O_APPEND file: the lines of runs do not mix. */
	if ((fd = open(log, O_WRONLY | O_APPEND | O_CREAT, 0644)) == -1 ||
	    write(fd, line, len) != (ssize_t)len)
		return 2;
	return 0;
}
