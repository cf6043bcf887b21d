/*
 * init: process 1 of the FreeBSD test machine.  Mounts a tmpfs on /tmp and
 * runs every case of cctrace's FreeBSD tests, each in a directory of its own
 * with cctrace started by fork and exec and its status collected; prints each
 * case's compile_commands.json and verdict on the console, ends with the line
 * "N passed, M failed" and powers the machine off.
 *
 * Kernel environment: cctrace.run=bench runs the benchmark /bin/tracecost
 * instead; cctrace.case=TEXT runs only the cases whose name holds TEXT;
 * cctrace.rounds=N runs the cases N times.
 */
#include <sys/types.h>
#include <sys/kenv.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <sys/uio.h>
#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <kenv.h>
#include <signal.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define TOOL		"/bin/cctrace"
#define DB		"compile_commands.json"
/* The console is a serial line: longer files are shown cut. */
#define SHOW_MAX	2048

/* cctrace's argument vector, from its first argument on. */
#define ARGS(...)	((const char *const[]){ __VA_ARGS__, NULL })

struct buf {
	char *p;
	size_t len, cap;
};

struct result {
	int status;		/* wait status of cctrace */
	bool timed_out;
	char *out;		/* standard output of cctrace and the build */
	char *err;		/* standard error */
};

static const char *only;	/* cctrace.case */
static int passed, failed;

/* The case being run. */
static const char *name;
static char dir[256];
static int case_faults;
static struct buf want;		/* the database the case expects */

static void
bprintf(struct buf *b, const char *fmt, ...)
{
	va_list ap;
	int n;

	for (;;) {
		va_start(ap, fmt);
		n = vsnprintf(b->p == NULL ? NULL : b->p + b->len,
		    b->cap - b->len, fmt, ap);
		va_end(ap);
		if (n < 0)
			err(1, "vsnprintf");
		if (b->len + n < b->cap)
			break;
		b->cap = (b->len + n + 1) * 2;
		if ((b->p = realloc(b->p, b->cap)) == NULL)
			err(1, "realloc");
	}
	b->len += n;
}

static void
bclear(struct buf *b)
{
	free(b->p);
	memset(b, 0, sizeof(*b));
}

/* A JSON string as the tool writes it; the cases need no escapes but '"'. */
static void
bquote(struct buf *b, const char *s)
{
	bprintf(b, "\"");
	for (; *s != '\0'; s++)
		bprintf(b, *s == '"' || *s == '\\' ? "\\%c" : "%c", *s);
	bprintf(b, "\"");
}

/* A whole file, NUL-terminated; NULL if it cannot be read. */
static char *
slurp(const char *path, size_t *lenp)
{
	struct buf b = { NULL, 0, 0 };
	char chunk[8192];
	ssize_t n;
	int fd;

	if ((fd = open(path, O_RDONLY)) == -1)
		return NULL;
	bprintf(&b, "%s", "");
	while ((n = read(fd, chunk, sizeof(chunk))) > 0)
		bprintf(&b, "%.*s", (int)n, chunk);
	close(fd);
	if (lenp != NULL)
		*lenp = b.len;
	return b.p;
}

static void
spew(const char *path, const char *text)
{
	int fd;

	if ((fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644)) == -1 ||
	    write(fd, text, strlen(text)) != (ssize_t)strlen(text))
		err(1, "%s", path);
	close(fd);
}

static char *
in_dir(const char *file)
{
	static char path[512];

	snprintf(path, sizeof(path), "%s/%s", dir, file);
	return path;
}

static bool
exists(const char *file)
{
	struct stat sb;

	return stat(in_dir(file), &sb) == 0;
}

static void
pause_ms(long ms)
{
	struct timespec ts = { ms / 1000, (ms % 1000) * 1000000 };

	while (nanosleep(&ts, &ts) == -1 && errno == EINTR)
		;
}

/* Orphans of the cases are ours: reap them. */
static void
reap(void)
{
	while (waitpid(-1, NULL, WNOHANG) > 0)
		;
}

static void
fault(const char *fmt, ...)
{
	va_list ap;

	printf("  fault: ");
	va_start(ap, fmt);
	vprintf(fmt, ap);
	va_end(ap);
	printf("\n");
	case_faults++;
}

/* Starts a case in a fresh directory with a.c and b.c; false if the case is
 * not to run. */
static bool
begin(const char *what)
{
	static int number;

	if (only != NULL && strstr(what, only) == NULL)
		return false;
	name = what;
	case_faults = 0;
	bclear(&want);
	snprintf(dir, sizeof(dir), "/tmp/case%d", ++number);
	if (mkdir(dir, 0755) == -1)
		err(1, "mkdir %s", dir);
	spew(in_dir("a.c"), "int a;\n");
	spew(in_dir("b.c"), "int b;\n");
	printf("--- %s (%s)\n", name, dir);
	return true;
}

static void
end(void)
{
	if (case_faults == 0) {
		passed++;
		printf("ok   %s\n", name);
	} else {
		failed++;
		printf("FAIL %s\n", name);
	}
	fflush(stdout);
	reap();
}

static void
show(const char *label, const char *text, size_t len)
{
	if (len > SHOW_MAX)
		printf("  %s (%zu bytes, cut):\n%.*s...\n", label, len,
		    SHOW_MAX, text);
	else
		printf("  %s:\n%s%s", label, text,
		    len > 0 && text[len - 1] == '\n' ? "" : "\n");
}

/*
 * Runs cctrace with args in the case's directory, in a process group of its
 * own, with the environment env (PATH=/bin and PWD=dir when NULL), standard
 * input from /dev/null and its output collected.  While it runs, meanwhile
 * (if any) is called with its pid; it may collect the status itself.
 */
static void
run_with(const char *const args[], char *const env[], int timeout_s,
    void (*meanwhile)(pid_t, struct result *), struct result *r)
{
	char pwd[300], *std_env[] = { "PATH=/bin", pwd, NULL };
	const char *argv[64];
	pid_t pid;
	int i, ms;

	memset(r, 0, sizeof(*r));
	r->status = -1;
	argv[0] = "cctrace";
	for (i = 0; i < 62 && args[i] != NULL; i++)
		argv[i + 1] = args[i];
	argv[i + 1] = NULL;
	snprintf(pwd, sizeof(pwd), "PWD=%s", dir);

	pid = fork();
	if (pid == -1)
		err(1, "fork");
	if (pid == 0) {
		setpgid(0, 0);
		if (chdir(dir) == -1)
			_exit(126);
		dup2(open("/dev/null", O_RDONLY), 0);
		dup2(open(".out", O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
		dup2(open(".err", O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
		closefrom(3);
		execve(TOOL, (char *const *)argv, env != NULL ? env : std_env);
		_exit(127);
	}
	setpgid(pid, pid);
	if (meanwhile != NULL)
		meanwhile(pid, r);
	for (ms = 0; r->status == -1; ms += 10) {
		if (waitpid(pid, &r->status, WNOHANG) == pid)
			break;
		r->status = -1;
		if (ms >= timeout_s * 1000) {
			kill(-pid, SIGKILL);
			kill(pid, SIGKILL);
			waitpid(pid, &r->status, 0);
			r->timed_out = true;
			break;
		}
		pause_ms(10);
	}
	r->out = slurp(in_dir(".out"), NULL);
	r->err = slurp(in_dir(".err"), NULL);
	if (r->out == NULL || r->err == NULL)
		err(1, "output of %s", name);
}

static void
run(const char *const args[], struct result *r)
{
	run_with(args, NULL, 60, NULL, r);
}

static void
describe(const struct result *r)
{
	if (r->timed_out)
		printf("  cctrace timed out and was killed\n");
	else if (WIFEXITED(r->status))
		printf("  cctrace exited %d\n", WEXITSTATUS(r->status));
	else if (WIFSIGNALED(r->status))
		printf("  cctrace killed by signal %d\n", WTERMSIG(r->status));
	if (r->out[0] != '\0')
		show("stdout", r->out, strlen(r->out));
	if (r->err[0] != '\0')
		show("stderr", r->err, strlen(r->err));
}

static void
expect_exit(const struct result *r, int code)
{
	if (r->timed_out || !WIFEXITED(r->status) ||
	    WEXITSTATUS(r->status) != code) {
		fault("cctrace did not exit %d", code);
		describe(r);
	}
}

static void
expect_text(const char *what, const char *got, const char *expected)
{
	if (strcmp(got, expected) != 0)
		fault("%s is \"%s\", not \"%s\"", what, got, expected);
}

/* The expected database, entry by entry: file is relative to directory. */
static void
want_entry_in(const char *directory, const char *file,
    const char *const args[])
{
	bprintf(&want, want.len == 0 ? "[\n" : ",\n");
	bprintf(&want, "{\n\"directory\": ");
	bquote(&want, directory);
	bprintf(&want, ",\n\"file\": \"%s/%s\",\n\"arguments\": [",
	    directory, file);
	for (int i = 0; args[i] != NULL; i++) {
		bprintf(&want, i == 0 ? "" : ", ");
		bquote(&want, args[i]);
	}
	bprintf(&want, "]\n}");
}

/* An entry of the case's directory. */
static void
want_entry(const char *file, const char *const args[])
{
	want_entry_in(dir, file, args);
}

/* An entry of the case's directory that names its output. */
static void
want_entry_output(const char *file, const char *const args[],
    const char *output)
{
	want_entry(file, args);
	want.len -= 2;
	bprintf(&want, ",\n\"output\": ");
	bquote(&want, output);
	bprintf(&want, "\n}");
}

static void
want_entries(int n, const char *file, const char *const args[])
{
	while (n-- > 0)
		want_entry(file, args);
}

/* Compares the case's database with the expected one, closed or open. */
static void
expect_db(bool closed)
{
	size_t len;
	char *got;

	if (want.len == 0)
		bprintf(&want, "[\n");
	if (closed)
		bprintf(&want, "\n]");
	got = slurp(in_dir(DB), &len);
	if (got == NULL) {
		fault("no %s", DB);
		return;
	}
	show(DB, got, len);
	if (len != want.len || memcmp(got, want.p, len) != 0) {
		fault("%s differs from what was expected", DB);
		show("expected", want.p, want.len);
	}
	free(got);
}

static void
free_result(struct result *r)
{
	free(r->out);
	free(r->err);
}

/* --- The cases ----------------------------------------------------------- */

static const char *const cc_a[] = { "cc", "-c", "a.c", NULL };

static void
two_compiles(void)
{
	struct result r;

	if (!begin("two compiles with PWD set, exact bytes"))
		return;
	run(ARGS("spawn", "fork", "cc", "-c", "a.c", "-o", "a.o", "--",
	    "cc", "-O2", "-c", "b.c", "-o", "b.o"), &r);
	expect_exit(&r, 0);
	want_entry("a.c", ARGS("cc", "-c", "a.c", "-o", "a.o"));
	want_entry("b.c", ARGS("cc", "-O2", "-c", "b.c", "-o", "b.o"));
	expect_db(true);
	free_result(&r);
	end();
}

static void
search_along_path(void)
{
	char path[600], pwd[300];
	char *env[] = { path, pwd, NULL };
	struct result r;

	if (!begin("a search along PATH fails before the compiler: one entry"))
		return;
	mkdir(in_dir("empty"), 0755);
	mkdir(in_dir("noexec"), 0755);
	spew(in_dir("noexec/cc"), "not a program\n");
	snprintf(path, sizeof(path),
	    "PATH=/nonexistent1:%s/empty:%s/noexec:/nonexistent2:/bin", dir,
	    dir);
	snprintf(pwd, sizeof(pwd), "PWD=%s", dir);
	run_with(ARGS("spawn", "fork", "cc", "-c", "a.c"), env, 60, NULL, &r);
	expect_exit(&r, 0);
	want_entry("a.c", cc_a);
	expect_db(true);
	free_result(&r);
	end();
}

static void
script_named_cc(void)
{
	struct result r;

	if (!begin("a #! script named like a compiler"))
		return;
	spew(in_dir("mycc"), "#!/bin/cc\n");
	chmod(in_dir("mycc"), 0755);
	run(ARGS("spawn", "fork", "./mycc", "-c", "a.c"), &r);
	expect_exit(&r, 0);
	want_entry("a.c", ARGS("./mycc", "-c", "a.c"));
	expect_db(true);
	free_result(&r);
	end();
}

static void
thread_execs(void)
{
	struct result r;

	if (!begin("a thread other than the first execs the compiler"))
		return;
	run(ARGS("thread_exec", "cc", "-c", "a.c"), &r);
	expect_exit(&r, 0);
	want_entry("a.c", cc_a);
	expect_db(true);
	free_result(&r);
	end();
}

static void
leader_gone(void)
{
	static const char *const modes[] = { "exec", "spawn" };
	struct result r;

	if (!begin("the first thread has exited when another runs the compiler"))
		return;
	for (int i = 0; i < 2; i++) {
		unlink(in_dir(DB));
		bclear(&want);
		run(ARGS("leader_exit", modes[i], "cc", "-c", "a.c"), &r);
		expect_exit(&r, 0);
		want_entry("a.c", cc_a);
		expect_db(true);
		free_result(&r);
	}
	end();
}

static void
threads_left_at_exit(void)
{
	static const char *const modes[] = { "exit", "kill" };
	struct result r;

	if (!begin("a process ends while its other threads still run"))
		return;
	for (int i = 0; i < 2; i++) {
		printf("  %s\n", modes[i]);
		bclear(&want);
		run(ARGS("exit_threads", modes[i], "cc", "-c", "a.c"), &r);
		expect_exit(&r, 0);
		want_entry("a.c", cc_a);
		expect_db(true);
		free_result(&r);
	}
	end();
}

static void
vfork_exec(void)
{
	struct result r;

	if (!begin("vfork, then exec of the compiler"))
		return;
	run(ARGS("spawn", "vfork", "cc", "-c", "a.c", "--", "cc", "-c", "b.c"),
	    &r);
	expect_exit(&r, 0);
	want_entry("a.c", cc_a);
	want_entry("b.c", ARGS("cc", "-c", "b.c"));
	expect_db(true);
	free_result(&r);
	end();
}

static void
threads_at_once(void)
{
	struct result r;

	if (!begin("threads spawning compilers at once"))
		return;
	run(ARGS("spawn_threads", "4", "6", "cc", "-c", "a.c"), &r);
	expect_exit(&r, 0);
	expect_text("stdout", r.out, "ok\n");
	want_entries(24, "a.c", cc_a);
	expect_db(true);
	free_result(&r);
	end();
}

static void
grandchild_outlives(void)
{
	static const char *const delays[] = { "0", "20", "200" };
	struct result r;

	if (!begin("a grandchild outlives its parent and compiles later"))
		return;
	for (int i = 0; i < 3; i++) {
		printf("  delay %s ms\n", delays[i]);
		unlink(in_dir(DB));
		bclear(&want);
		run(ARGS("outlive", delays[i], "cc", "-c", "a.c"), &r);
		expect_exit(&r, 0);
		want_entry("a.c", cc_a);
		expect_db(true);
		free_result(&r);
	}
	end();
}

static void
signals_pass(void)
{
	static const char *const modes[] = { "self", "child", "term" };
	struct result r;

	if (!begin("signals reach the build as they would untraced"))
		return;
	for (int i = 0; i < 3; i++) {
		printf("  sigtest %s\n", modes[i]);
		bclear(&want);
		run(ARGS("sigtest", modes[i]), &r);
		expect_exit(&r, 0);
		expect_text("stdout", r.out, "ok\n");
		expect_db(true);
		free_result(&r);
	}
	end();
}

static void
child_stopped(void)
{
	static const char *const modes[] = { "stop", "tstp" };
	struct result r;

	if (!begin("a child stopped by its parent, which waits for the stop"))
		return;
	for (int i = 0; i < 2; i++) {
		printf("  sigtest %s\n", modes[i]);
		bclear(&want);
		run_with(ARGS("sigtest", modes[i]), NULL, 20, NULL, &r);
		expect_exit(&r, 0);
		expect_text("stdout", r.out, "ok\n");
		expect_db(true);
		free_result(&r);
	}
	end();
}

static void
ended_by_signal(void)
{
	static const struct {
		const char *sig, *whom;
	} ends[] = {
		{ "15", "self" },	/* SIGTERM */
		{ "9", "self" },	/* SIGKILL */
		{ "2", "group" },	/* SIGINT, the tool's too */
		{ "3", "group" },	/* SIGQUIT */
		{ "15", "group" },
	};
	struct result r;

	if (!begin("a build ended by a signal leaves a closed array"))
		return;
	for (size_t i = 0; i < sizeof(ends) / sizeof(ends[0]); i++) {
		printf("  signal %s to %s\n", ends[i].sig, ends[i].whom);
		unlink(in_dir(DB));
		bclear(&want);
		run(ARGS("endsig", ends[i].sig, ends[i].whom, "cc", "-c",
		    "a.c"), &r);
		expect_exit(&r, 0);
		if (exists("after"))
			fault("the build lived on after the signal");
		want_entry("a.c", cc_a);
		expect_db(true);
		free_result(&r);
	}
	end();
}

static void
cannot_execute(void)
{
	static const char first[] = "cctrace: execvp /bin/nonexistent: "
	    "No such file or directory\n";
	struct result r;
	char *db, *second;

	if (!begin("a command that cannot be executed"))
		return;
	spew(in_dir(DB), "old content");
	run(ARGS("/bin/nonexistent", "-c", "a.c"), &r);
	expect_exit(&r, 1);
	/* The child's report, then at most one line of the tool's own about
	 * the vanished child. */
	second = r.err + strlen(first);
	if (strncmp(r.err, first, strlen(first)) != 0 ||
	    (second[0] != '\0' && (strncmp(second, "cctrace: ", 9) != 0 ||
	    strchr(second, '\n') != second + strlen(second) - 1)))
		fault("stderr is \"%s\"", r.err);
	db = slurp(in_dir(DB), NULL);
	expect_text(DB, db != NULL ? db : "(none)", "old content");
	free(db);
	free_result(&r);
	end();
}

/* The build truncates the file in place, or puts a link to another file in
 * its place: the other file is untouched, the database back whole. */
static void
build_turns_on_the_file(void)
{
	static const struct {
		const char *op, *target, *said;
	} ops[] = {
		{ "truncate", NULL, "cctrace: " DB " was changed during the "
		    "build; written again\n" },
		{ "plant", "victim", "cctrace: " DB " was removed or replaced "
		    "during the build; written again\n" },
	};
	struct result r;
	char *victim;

	if (!begin("a build truncates the file or plants a link"))
		return;
	for (size_t i = 0; i < sizeof(ops) / sizeof(ops[0]); i++) {
		printf("  %s\n", ops[i].op);
		unlink(in_dir(DB));
		spew(in_dir("victim"), "secret\n");
		bclear(&want);
		if (ops[i].target == NULL)
			run(ARGS("spawn", "fork", "cc", "-c", "a.c", "--",
			    "fileop", ops[i].op, DB, "--", "cc", "-c", "b.c"),
			    &r);
		else
			run(ARGS("spawn", "fork", "cc", "-c", "a.c", "--",
			    "fileop", ops[i].op, DB, ops[i].target, "--", "cc",
			    "-c", "b.c"), &r);
		expect_exit(&r, 0);
		expect_text("stderr", r.err, ops[i].said);
		victim = slurp(in_dir("victim"), NULL);
		expect_text("victim", victim != NULL ? victim : "(none)",
		    "secret\n");
		free(victim);
		want_entry("a.c", cc_a);
		want_entry("b.c", ARGS("cc", "-c", "b.c"));
		expect_db(true);
		free_result(&r);
	}
	end();
}

/* -a: the entry of a file not compiled again stays, the other is
 * replaced. */
static void
append_keeps(void)
{
	struct result r;

	if (!begin("-a keeps the entries of the files not compiled again"))
		return;
	run(ARGS("spawn", "fork", "cc", "-c", "a.c", "--", "cc", "-c", "b.c"),
	    &r);
	expect_exit(&r, 0);
	free_result(&r);
	run(ARGS("-a", "cc", "-O2", "-c", "b.c"), &r);
	expect_exit(&r, 0);
	expect_text("stderr", r.err, "");
	want_entry("a.c", cc_a);
	want_entry("b.c", ARGS("cc", "-O2", "-c", "b.c"));
	expect_db(true);
	free_result(&r);
	end();
}

static void
no_argument(void)
{
	const char *none[] = { NULL };
	struct result r;

	if (!begin("no argument"))
		return;
	run(none, &r);
	expect_exit(&r, 1);
	expect_text("stderr", r.err,
	    "usage: cctrace [option ...] [--] command [argument ...]\n");
	if (exists(DB))
		fault("%s was created", DB);
	free_result(&r);
	end();
}

static void
truncates(void)
{
	char junk[4097];
	struct result r;

	if (!begin("an existing file is truncated"))
		return;
	memset(junk, 'x', 4096);
	junk[4096] = '\0';
	spew(in_dir(DB), junk);
	run(ARGS("spawn", "fork", "cc", "-c", "a.c"), &r);
	expect_exit(&r, 0);
	want_entry("a.c", cc_a);
	expect_db(true);
	free_result(&r);
	end();
}

static void
exec_of_32bit(void)
{
	struct result r;

	if (!begin("a 32-bit program execs the compiler"))
		return;
	run(ARGS("exec32", "/bin/cc", "cc", "-c", "a.c"), &r);
	expect_exit(&r, 0);
	want_entry("a.c", cc_a);
	expect_db(true);
	free_result(&r);
	end();
}

/* fexecve, from a 64-bit and from a 32-bit program: a call of its own. */
static void
exec_by_descriptor(void)
{
	static const char *const progs[] = { "fexec", "exec32 -f" };
	struct result r;

	if (!begin("the compiler executed through a descriptor (fexecve)"))
		return;
	for (int i = 0; i < 2; i++) {
		printf("  %s\n", progs[i]);
		unlink(in_dir(DB));
		bclear(&want);
		if (i == 0)
			run(ARGS("spawn", "fork", "fexec", "/bin/cc", "cc",
			    "-c", "a.c"), &r);
		else
			run(ARGS("exec32", "-f", "/bin/cc", "cc", "-c", "a.c"),
			    &r);
		expect_exit(&r, 0);
		want_entry("a.c", cc_a);
		expect_db(true);
		free_result(&r);
	}
	end();
}

/* The process group of the case's tool and build. */
static pid_t job;

/* Waits up to ms milliseconds for pid to change as flags ask. */
static bool
wait_for(pid_t pid, int *st, int flags, int ms)
{
	for (; ms > 0; ms -= 10) {
		if (waitpid(pid, st, flags | WNOHANG) == pid)
			return true;
		pause_ms(10);
	}
	return false;
}

static void
started_compiler(void)
{
	struct result r;

	if (!begin("the started command is itself the compiler"))
		return;
	run(ARGS("cc", "-c", "a.c"), &r);
	expect_exit(&r, 0);
	want_entry("a.c", cc_a);
	expect_db(true);
	free_result(&r);
	bclear(&want);
	run(ARGS("/bin/cc", "-O2", "-c", "b.c"), &r);
	expect_exit(&r, 0);
	want_entry("b.c", ARGS("/bin/cc", "-O2", "-c", "b.c"));
	expect_db(true);
	free_result(&r);
	end();
}

/*
 * The directory of an entry: PWD where it names the compiler's working
 * directory, even through a symbolic link; the working directory the kernel
 * reports where PWD names another or is missing.
 */
static void
directory_rules(void)
{
	char link[300], pwd[320], sub[300];
	char *link_env[] = { "PATH=/bin", pwd, NULL };
	char *no_pwd[] = { "PATH=/bin", NULL };
	struct result r;

	if (!begin("the directory is PWD only where it names the compiler's"))
		return;
	mkdir(in_dir("sub"), 0755);
	spew(in_dir("sub/a.c"), "int sub_a;\n");
	snprintf(sub, sizeof(sub), "%s/sub", dir);

	printf("  a child changes directory, PWD names the one above, which "
	    "holds an a.c too\n");
	run(ARGS("spawn", "-C", "sub", "fork", "cc", "-c", "a.c"), &r);
	expect_exit(&r, 0);
	want_entry_in(sub, "a.c", cc_a);
	expect_db(true);
	free_result(&r);

	printf("  PWD is a symbolic link to the working directory\n");
	snprintf(link, sizeof(link), "%s.link", dir);
	snprintf(pwd, sizeof(pwd), "PWD=%s", link);
	if (symlink(dir, link) == -1)
		err(1, "symlink %s", link);
	bclear(&want);
	run_with(ARGS("spawn", "fork", "cc", "-c", "a.c"), link_env, 60, NULL,
	    &r);
	expect_exit(&r, 0);
	want_entry_in(link, "a.c", cc_a);
	expect_db(true);
	free_result(&r);

	printf("  no PWD at all\n");
	bclear(&want);
	run_with(ARGS("spawn", "-C", "sub", "fork", "cc", "-c", "a.c"), no_pwd,
	    60, NULL, &r);
	expect_exit(&r, 0);
	want_entry_in(sub, "a.c", cc_a);
	expect_db(true);
	free_result(&r);
	end();
}

/* One argument longer than 256 KiB: FreeBSD/amd64's ARG_MAX is 512 KiB. */
static void
long_argument(void)
{
	size_t len = 300 * 1024;
	struct result r;
	char *def;

	if (!begin("an argument of 300 KiB"))
		return;
	if ((def = malloc(len + 1)) == NULL)
		err(1, "malloc");
	memcpy(def, "-DX=", 4);
	memset(def + 4, 'x', len - 4);
	def[len] = '\0';
	run(ARGS("spawn", "fork", "cc", "-c", "a.c", def), &r);
	expect_exit(&r, 0);
	want_entry("a.c", ARGS("cc", "-c", "a.c", def));
	expect_db(true);
	free_result(&r);
	free(def);
	end();
}

/*
 * Vectors at ARG_MAX, which FreeBSD/amd64's strings of both vectors share:
 * an exec it takes is recorded whole, those it refuses are not (nor read
 * further than ARG_MAX).
 */
static void
execs_at_arg_max(void)
{
	static const struct {
		size_t size;
		const char *count;
		bool taken;
	} execs[] = {
		{ 200000, "2", true },
		{ 256 * 1024, "2", false },
		{ 1024 * 1024, "2000", false },
	};
	char size[32], *fill;
	struct result r;

	if (!begin("execs at ARG_MAX"))
		return;
	for (size_t i = 0; i < sizeof(execs) / sizeof(execs[0]); i++) {
		printf("  %s strings of %zu bytes\n", execs[i].count,
		    execs[i].size);
		unlink(in_dir(DB));
		bclear(&want);
		snprintf(size, sizeof(size), "%zu", execs[i].size);
		run(ARGS("argfill", size, execs[i].count, "/bin/cc", "cc",
		    "-c", "a.c"), &r);
		expect_exit(&r, 0);
		if (execs[i].taken) {
			/* As argfill makes it. */
			if ((fill = malloc(execs[i].size)) == NULL)
				err(1, "malloc");
			memset(fill, 'x', execs[i].size - 1);
			memcpy(fill, "-DX", 3);
			fill[execs[i].size - 1] = '\0';
			want_entry("a.c", ARGS("cc", "-c", "a.c", fill, fill));
			free(fill);
		} else
			expect_text("stdout", r.out,
			    "argfill: Argument list too long\n");
		expect_db(true);
		free_result(&r);
	}
	end();
}

/* Waits up to 10 s for the tool to open the array: the build has started. */
static void
wait_for_open(void)
{
	char *db;

	for (int ms = 0; ms < 10000; ms += 10) {
		db = slurp(in_dir(DB), NULL);
		if (db != NULL && db[0] != '\0') {
			free(db);
			return;
		}
		free(db);
		pause_ms(10);
	}
	fault("the array was not opened");
}

/* Kills the tool once the build has started. */
static void
kill_when_open(pid_t pid, struct result *r)
{
	job = pid;
	wait_for_open();
	kill(pid, SIGKILL);
	waitpid(pid, &r->status, 0);
}

static void
killed_before_entry(void)
{
	struct result r;

	if (!begin("the tool killed before the first entry leaves ["))
		return;
	run_with(ARGS("spawn", "-w", "3000", "fork", "cc", "-c", "a.c"), NULL,
	    20, kill_when_open, &r);
	if (!WIFSIGNALED(r.status) || WTERMSIG(r.status) != SIGKILL) {
		fault("cctrace did not die by SIGKILL");
		describe(&r);
	}
	expect_db(false);
	/* The build dies with the tool that traced it. */
	for (int ms = 0; kill(-job, 0) == 0; ms += 10) {
		if (ms >= 5000) {
			fault("the build outlived the tool");
			kill(-job, SIGKILL);
			break;
		}
		reap();
		pause_ms(10);
	}
	free_result(&r);
	end();
}

/* Ctrl-Z, then fg: the whole job stops, then goes on. */
static void
stop_and_continue(pid_t pid, struct result *r)
{
	char *db;
	int st;

	wait_for_open();
	kill(-pid, SIGTSTP);
	if (!wait_for(pid, &st, WUNTRACED, 5000)) {
		fault("cctrace did not stop");
		kill(-pid, SIGCONT);
		return;
	}
	if (!WIFSTOPPED(st)) {
		fault("cctrace ended instead of stopping");
		r->status = st;
		return;
	}
	pause_ms(1000);
	db = slurp(in_dir(DB), NULL);
	if (db == NULL || strcmp(db, "[\n") != 0)
		fault("the build went on while stopped: \"%s\"",
		    db != NULL ? db : "(no file)");
	free(db);
	kill(-pid, SIGCONT);
}

static void
whole_job_stopped(void)
{
	struct result r;

	if (!begin("the whole job stopped and continued"))
		return;
	run_with(ARGS("spawn", "-w", "500", "fork", "cc", "-c", "a.c", "--",
	    "cc", "-c", "b.c"), NULL, 30, stop_and_continue, &r);
	expect_exit(&r, 0);
	want_entry("a.c", cc_a);
	want_entry("b.c", ARGS("cc", "-c", "b.c"));
	expect_db(true);
	free_result(&r);
	end();
}

/*
 * --all: a compiler that runs its compiler cc in a child, and a wrapper that
 * runs cc: each compile is recorded once, and cc, run by them, not at all,
 * which takes their children's parent as FreeBSD names it while traced.
 * Without --all the default rules record the cc runs, and one line counts
 * the c++ and ccache runs.
 */
static void
all_helpers(void)
{
	static const char *const b_args[] = { "cc", "-c", "b.c", NULL };
	static const char *const notice = "cctrace: 2 runs of c++ or ccache "
	    "were not examined; cctrace --all records their compiles\n";
	struct result r;

	if (!begin("--all: the helpers of a compiler and a wrapper"))
		return;
	run(ARGS("--all", "spawn", "fork", "c++", "-c", "a.c", "-o", "a.o",
	    "--", "ccache", "cc", "-c", "b.c"), &r);
	expect_exit(&r, 0);
	expect_text("stderr", r.err, "");
	want_entry_output("a.c", ARGS("c++", "-c", "a.c", "-o", "a.o"), "a.o");
	want_entry("b.c", b_args);
	expect_db(true);
	free_result(&r);

	printf("  without --all\n");
	bclear(&want);
	run(ARGS("spawn", "fork", "c++", "-c", "a.c", "-o", "a.o", "--",
	    "ccache", "cc", "-c", "b.c"), &r);
	expect_exit(&r, 0);
	expect_text("stderr", r.err, notice);
	want_entry("a.c", ARGS("cc", "-c", "a.c", "-o", "a.o"));
	want_entry("b.c", b_args);
	expect_db(true);
	free_result(&r);
	end();
}

/* --- The machine --------------------------------------------------------- */

static void
console(void)
{
	int fd;

	if ((fd = open("/dev/console", O_RDWR)) == -1)
		abort();
	dup2(fd, 0);
	dup2(fd, 1);
	dup2(fd, 2);
	if (fd > 2)
		close(fd);
	setvbuf(stdout, NULL, _IOLBF, 0);
}

static void
mount_tmp(void)
{
	struct iovec iov[] = {
		{ "fstype", 7 }, { "tmpfs", 6 },
		{ "fspath", 7 }, { "/tmp", 5 },
	};

	if (nmount(iov, 4, 0) == -1)
		err(1, "mount tmpfs on /tmp");
}

static void
poweroff(void)
{
	int zero = 0;

	/* All out on the line before the kernel's own shutdown messages. */
	fflush(stdout);
	tcdrain(STDOUT_FILENO);
	sysctlbyname("kern.shutdown.poweroff_delay", NULL, NULL, &zero,
	    sizeof(zero));
	reboot(RB_POWEROFF | RB_NOSYNC);
	for (;;)
		pause();
}

/* Runs a program of the machine and waits for it. */
static void
run_program(char *const argv[])
{
	char *env[] = { "PATH=/bin", "PWD=/tmp", NULL };
	pid_t pid;

	pid = fork();
	if (pid == 0) {
		chdir("/tmp");
		execve(argv[0], argv, env);
		err(127, "%s", argv[0]);
	}
	while (waitpid(pid, NULL, 0) == -1 && errno == EINTR)
		;
	reap();
}

static char *
kenv_get(const char *key)
{
	static char value[3][128];
	static int next;
	char *v = value[next++ % 3];

	if (kenv(KENV_GET, key, v, sizeof(value[0])) == -1)
		return NULL;
	return v;
}

static void
all_cases(void)
{
	two_compiles();
	search_along_path();
	script_named_cc();
	thread_execs();
	leader_gone();
	threads_left_at_exit();
	vfork_exec();
	threads_at_once();
	grandchild_outlives();
	signals_pass();
	child_stopped();
	ended_by_signal();
	cannot_execute();
	build_turns_on_the_file();
	append_keeps();
	no_argument();
	truncates();
	exec_of_32bit();
	exec_by_descriptor();
	started_compiler();
	directory_rules();
	long_argument();
	execs_at_arg_max();
	killed_before_entry();
	whole_job_stopped();
	all_helpers();
}

int
main(void)
{
	char *mode, *rounds_text, osrelease[64];
	size_t len = sizeof(osrelease), intlen = sizeof(int);
	int rounds, ncpu = 0;

	console();
	mount_tmp();
	mode = kenv_get("cctrace.run");
	only = kenv_get("cctrace.case");
	rounds_text = kenv_get("cctrace.rounds");
	rounds = rounds_text != NULL ? atoi(rounds_text) : 1;
	if (mode != NULL && strcmp(mode, "bench") == 0) {
		char *rounds_arg = rounds_text != NULL ? rounds_text : "5";
		char *argv[] = { "/bin/tracecost", TOOL, "/bin/busycc",
		    rounds_arg, NULL };

		run_program(argv);
		poweroff();
	}
	osrelease[0] = '\0';
	sysctlbyname("kern.osrelease", osrelease, &len, NULL, 0);
	sysctlbyname("hw.ncpu", &ncpu, &intlen, NULL, 0);
	printf("cctrace tests on FreeBSD %s, %d CPU%s\n", osrelease, ncpu,
	    ncpu == 1 ? "" : "s");
	for (int i = 0; i < rounds; i++)
		all_cases();
	printf("%d passed, %d failed\n", passed, failed);
	poweroff();
}
