/*
 * threadcost [-r ROUNDS] [-n N] [CCTRACE ...]: what creating threads and
 * processes costs a build under cctrace.  The work: N threads created and
 * joined one after the other, then N/10 runs of /bin/true by posix_spawn,
 * then 100 N calls of clone3 that create nothing (an empty argument, which
 * the kernel refuses), which a libc tries first for each of the others;
 * each timed inside the traced program itself, so that the tool's start
 * and end do not count.  It runs bare and under each CCTRACE given (several
 * builds of the tool can be compared), ROUNDS times each (default 21),
 * interleaved round by round, in a scratch directory; prints the median
 * time of one thread, of one spawn and of one clone3 call for each, with
 * its ratio to the bare run and the range of the rounds.
 *
 * threadcost -w N is the work itself: it prints the three times in
 * microseconds.
 */
#include <sys/syscall.h>
#include <sys/wait.h>

#include <err.h>
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_ROUNDS 200
#define MAX_VARIANTS 8

extern char **environ;

static double
now_us(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static void *
nothing(void *arg)
{
	return arg;
}

static int
work(int n)
{
	char *argv[] = { "true", NULL };
	pthread_t t;
	double start, threads, spawns, clones;
	pid_t pid;
	int i, st;

	start = now_us();
	for (i = 0; i < n; i++) {
		if (pthread_create(&t, NULL, nothing, NULL) != 0 ||
		    pthread_join(t, NULL) != 0)
			errx(1, "thread %d", i);
	}
	threads = (now_us() - start) / n;
	start = now_us();
	for (i = 0; i < n / 10; i++) {
		if (posix_spawn(&pid, "/bin/true", NULL, NULL, argv,
		    environ) != 0 || waitpid(pid, &st, 0) != pid)
			errx(1, "spawn %d", i);
	}
	spawns = (now_us() - start) / (n / 10);
	start = now_us();
	for (i = 0; i < 100 * n; i++)
		syscall(SYS_clone3, NULL, 0);
	clones = (now_us() - start) / (100 * n);
	printf("%.3f %.3f %.4f\n", threads, spawns, clones);
	return 0;
}

/* Runs argv, reads the three figures it prints. */
static void
measure(char *const argv[], double *threads, double *spawns, double *clones)
{
	int fd[2], st;
	char buf[128];
	ssize_t len;
	pid_t pid;

	if (pipe(fd) == -1)
		err(1, "pipe");
	if ((pid = fork()) == -1)
		err(1, "fork");
	if (pid == 0) {
		dup2(fd[1], 1);
		close(fd[0]);
		close(fd[1]);
		execv(argv[0], argv);
		err(127, "%s", argv[0]);
	}
	close(fd[1]);
	len = read(fd[0], buf, sizeof(buf) - 1);
	close(fd[0]);
	if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st) ||
	    WEXITSTATUS(st) != 0 || len <= 0)
		errx(1, "%s failed", argv[0]);
	buf[len] = '\0';
	if (sscanf(buf, "%lf %lf %lf", threads, spawns, clones) != 3)
		errx(1, "%s printed \"%s\"", argv[0], buf);
}

static int
by_value(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;

	return x < y ? -1 : x > y;
}

static double
median(double *v, int n)
{
	qsort(v, n, sizeof(*v), by_value);
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int
main(int argc, char *argv[])
{
	static double threads[MAX_VARIANTS][MAX_ROUNDS];
	static double spawns[MAX_VARIANTS][MAX_ROUNDS];
	static double clones[MAX_VARIANTS][MAX_ROUNDS];
	char self[4096], dir[] = "/tmp/threadcost-XXXXXX", count[16];
	int rounds = 21, n = 2000, nvariants, ch, i, v;
	double bare_t = 0, bare_s = 0, bare_c = 0;
	ssize_t len;

	while ((ch = getopt(argc, argv, "r:n:w:")) != -1) {
		switch (ch) {
		case 'r':
			rounds = atoi(optarg);
			break;
		case 'n':
			n = atoi(optarg);
			break;
		case 'w':
			return work(atoi(optarg));
		default:
			fprintf(stderr, "usage: threadcost [-r rounds] [-n n] "
			    "[cctrace ...]\n");
			return 2;
		}
	}
	nvariants = 1 + argc - optind;
	if (rounds < 1 || rounds > MAX_ROUNDS || n < 10 ||
	    nvariants > MAX_VARIANTS)
		errx(2, "at most %d rounds, %d tools, n at least 10",
		    MAX_ROUNDS, MAX_VARIANTS - 1);
	if ((len = readlink("/proc/self/exe", self, sizeof(self) - 1)) <= 0)
		err(1, "/proc/self/exe");
	self[len] = '\0';
	if (mkdtemp(dir) == NULL || chdir(dir) == -1)
		err(1, "%s", dir);
	snprintf(count, sizeof(count), "%d", n);

	for (i = 0; i < rounds; i++) {
		for (v = 0; v < nvariants; v++) {
			char *bare[] = { self, "-w", count, NULL };
			char *traced[] = { argv[optind + v - 1], self, "-w",
			    count, NULL };

			measure(v == 0 ? bare : traced, &threads[v][i],
			    &spawns[v][i], &clones[v][i]);
		}
	}
	printf("%d rounds of %d threads, %d spawns and %d clone3 calls; "
	    "medians, [min, max]\n", rounds, n, n / 10, 100 * n);
	for (v = 0; v < nvariants; v++) {
		double t = median(threads[v], rounds);
		double s = median(spawns[v], rounds);
		double c = median(clones[v], rounds);

		if (v == 0) {
			bare_t = t;
			bare_s = s;
			bare_c = c;
		}
		printf("%s\n  thread %6.1f us (x%.2f) [%.1f, %.1f]   "
		    "spawn %7.1f us (x%.2f) [%.1f, %.1f]   "
		    "clone3 %.3f us (x%.2f) [%.3f, %.3f]\n",
		    v == 0 ? "bare" : argv[optind + v - 1], t, t / bare_t,
		    threads[v][0], threads[v][rounds - 1], s, s / bare_s,
		    spawns[v][0], spawns[v][rounds - 1], c, c / bare_c,
		    clones[v][0], clones[v][rounds - 1]);
	}
	unlink("compile_commands.json");
	rmdir(dir);
	return 0;
}
