/*
 * bigexec [-r ROUNDS] [-n COUNT] [-s SIZE] CCTRACE ...: what one exec with
 * huge vectors costs the tool.  The traced program execs cc with COUNT
 * pointers (default 2000) to one string of SIZE bytes (default 1 MiB) after
 * its name, which the kernel refuses (E2BIG), and exits.  It runs bare and
 * under each CCTRACE given (several builds of the tool can be compared),
 * ROUNDS times each (default 3), interleaved, in a scratch directory;
 * prints the largest peak resident size (of the tool, or of the program when
 * bare: wait4's ru_maxrss) and the median wall time of each.
 *
 * bigexec -x COUNT SIZE is the traced program itself.
 */
#include <sys/resource.h>
#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_ROUNDS 50
#define MAX_VARIANTS 8

static int
huge_exec(size_t count, size_t size)
{
	char **argv, *fill;
	size_t i;

	if ((fill = malloc(size)) == NULL ||
	    (argv = calloc(count + 2, sizeof(*argv))) == NULL)
		err(1, "malloc");
	memset(fill, 'x', size - 1);
	fill[size - 1] = '\0';
	argv[0] = "cc";
	for (i = 0; i < count; i++)
		argv[1 + i] = fill;
	execvp("cc", argv);
	if (errno != E2BIG)
		warn("exec of cc");
	return 0;
}

static double
now_s(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* Runs argv; its wall time, and its peak resident size in KiB in *rss. */
static double
measure(char *const argv[], long *rss)
{
	double start = now_s();
	struct rusage ru;
	pid_t pid;
	int st;

	if ((pid = fork()) == -1)
		err(1, "fork");
	if (pid == 0) {
		execv(argv[0], argv);
		err(127, "%s", argv[0]);
	}
	if (wait4(pid, &st, 0, &ru) != pid || !WIFEXITED(st) ||
	    WEXITSTATUS(st) != 0)
		errx(1, "%s failed", argv[0]);
	*rss = ru.ru_maxrss;
	return now_s() - start;
}

static int
by_value(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;

	return x < y ? -1 : x > y;
}

int
main(int argc, char *argv[])
{
	static double times[MAX_VARIANTS][MAX_ROUNDS];
	static long rss[MAX_VARIANTS];
	char self[4096], dir[] = "/tmp/bigexec-XXXXXX", count[32], size[32];
	size_t n = 2000, s = 1024 * 1024;
	int rounds = 3, nvariants, ch, i, v;
	ssize_t len;

	while ((ch = getopt(argc, argv, "r:n:s:x")) != -1) {
		switch (ch) {
		case 'r':
			rounds = atoi(optarg);
			break;
		case 'n':
			n = strtoul(optarg, NULL, 10);
			break;
		case 's':
			s = strtoul(optarg, NULL, 10);
			break;
		case 'x':
			if (argc - optind != 2)
				return 2;
			return huge_exec(strtoul(argv[optind], NULL, 10),
			    strtoul(argv[optind + 1], NULL, 10));
		default:
			fprintf(stderr, "usage: bigexec [-r rounds] [-n count] "
			    "[-s size] [cctrace ...]\n");
			return 2;
		}
	}
	nvariants = 1 + argc - optind;
	if (rounds < 1 || rounds > MAX_ROUNDS || nvariants > MAX_VARIANTS ||
	    s < 1)
		errx(2, "1 to %d rounds, at most %d tools, size at least 1",
		    MAX_ROUNDS, MAX_VARIANTS - 1);
	if ((len = readlink("/proc/self/exe", self, sizeof(self) - 1)) <= 0)
		err(1, "/proc/self/exe");
	self[len] = '\0';
	if (mkdtemp(dir) == NULL || chdir(dir) == -1)
		err(1, "%s", dir);
	snprintf(count, sizeof(count), "%zu", n);
	snprintf(size, sizeof(size), "%zu", s);

	for (i = 0; i < rounds; i++) {
		for (v = 0; v < nvariants; v++) {
			char *bare[] = { self, "-x", count, size, NULL };
			char *traced[] = { argv[optind + v - 1], self, "-x",
			    count, size, NULL };
			long r;

			times[v][i] = measure(v == 0 ? bare : traced, &r);
			if (r > rss[v])
				rss[v] = r;
		}
	}
	printf("cc and %zu pointers to one string of %zu bytes, %d rounds: "
	    "peak resident size, median wall time\n", n, s, rounds);
	for (v = 0; v < nvariants; v++) {
		qsort(times[v], rounds, sizeof(double), by_value);
		printf("%-40s %9.1f MiB %8.3f s\n",
		    v == 0 ? "bare" : argv[optind + v - 1], rss[v] / 1024.0,
		    times[v][rounds / 2]);
	}
	unlink("compile_commands.json");
	rmdir(dir);
	return 0;
}
