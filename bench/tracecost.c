/*
 * tracecost CCTRACE BUSYCC [ROUNDS [SYSCALLS [CPU]]]: what tracing costs a
 * compiler.  Runs the stand-in compiler BUSYCC (bench/busycc.c) doing
 * nothing, making SYSCALLS system calls (default 3000), and spinning CPU
 * million rounds without any (default 100), bare and under CCTRACE, ROUNDS
 * times each (default 5), interleaved round by round, in a fresh directory
 * holding its source; prints the median wall time of each, the ratio traced
 * / bare, and what one system call costs traced.
 */
#include <sys/stat.h>
#include <sys/wait.h>

#include <err.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_ROUNDS 100

static double
now_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

/* Runs argv with env, standard output to /dev/null; its wall time in ms. */
static double
timed(char *const argv[], char *const env[])
{
	double start = now_ms();
	pid_t pid;
	int st;

	pid = fork();
	if (pid == -1)
		err(1, "fork");
	if (pid == 0) {
		int fd = open("/dev/null", O_WRONLY);

		dup2(fd, 1);
		execve(argv[0], argv, env);
		err(127, "%s", argv[0]);
	}
	if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st) ||
	    WEXITSTATUS(st) != 0)
		errx(1, "%s did not exit 0", argv[0]);
	return now_ms() - start;
}

static int
cmp(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;

	return x < y ? -1 : x > y;
}

static double
median(double *t, int n)
{
	qsort(t, n, sizeof(t[0]), cmp);
	return n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
}

int
main(int argc, char *argv[])
{
	char dir[64], pwd[80], opt[3][64];
	char *env[] = { pwd, "PATH=/bin:/usr/bin", NULL };
	const char *what[3] = { "start only", "system calls", "cpu" };
	double t[3][2][MAX_ROUNDS];	/* work, traced, round */
	double med[3][2];
	int rounds, fd;
	long count[2];

	if (argc < 3 || argc > 6) {
		fprintf(stderr, "usage: tracecost cctrace busycc [rounds "
		    "[syscalls [cpu]]]\n");
		return 2;
	}
	rounds = argc > 3 ? atoi(argv[3]) : 5;
	count[0] = argc > 4 ? atol(argv[4]) : 3000;
	count[1] = argc > 5 ? atol(argv[5]) : 100;
	if (rounds < 1 || rounds > MAX_ROUNDS)
		errx(2, "rounds: 1 to %d", MAX_ROUNDS);
	/* Not mkdtemp: a freshly booted machine may block on its random
	 * numbers for many seconds. */
	snprintf(dir, sizeof(dir), "/tmp/tracecost.%ld", (long)getpid());
	if (mkdir(dir, 0755) == -1 || chdir(dir) == -1)
		err(1, "%s", dir);
	if ((fd = open("a.c", O_WRONLY | O_CREAT, 0644)) == -1)
		err(1, "a.c");
	close(fd);
	snprintf(pwd, sizeof(pwd), "PWD=%s", dir);
	snprintf(opt[0], sizeof(opt[0]), "-DBUSY_SYSCALLS=0");
	snprintf(opt[1], sizeof(opt[1]), "-DBUSY_SYSCALLS=%ld", count[0]);
	snprintf(opt[2], sizeof(opt[2]), "-DBUSY_CPU=%ld", count[1]);

	for (int r = 0; r < rounds; r++) {
		for (int w = 0; w < 3; w++) {
			char *bare[] = { argv[2], opt[w], "-c", "a.c", NULL };
			char *traced[] = { argv[1], argv[2], opt[w], "-c",
			    "a.c", NULL };

			t[w][0][r] = timed(bare, env);
			t[w][1][r] = timed(traced, env);
		}
	}
	unlink("compile_commands.json");
	unlink("a.c");
	rmdir(dir);

	printf("tracecost: medians of %d rounds, wall time\n", rounds);
	for (int w = 0; w < 3; w++) {
		med[w][0] = median(t[w][0], rounds);
		med[w][1] = median(t[w][1], rounds);
		printf("%s (%s): bare %.1f ms, traced %.1f ms, x%.2f\n",
		    what[w], opt[w] + 2, med[w][0], med[w][1],
		    med[w][1] / med[w][0]);
	}
	/* What a system call costs traced, the traced start taken out. */
	printf("a system call traced: %+.1f us\n", ((med[1][1] - med[1][0]) -
	    (med[0][1] - med[0][0])) * 1e3 / count[0]);
	return 0;
}
