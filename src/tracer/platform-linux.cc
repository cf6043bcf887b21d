// The tracer's platform on Linux: the calls of FreeBSD's process-debugging
// interface, made from Linux ptrace.
//
// FreeBSD stops a traced process at every system call; Linux ptrace doing the
// same makes a compiler many times slower.  Here a seccomp filter, inherited
// by every descendant, stops a task only when it enters an exec call
// (platform-linux-seccomp.cc), and ptrace events report the ends of execs,
// new tasks and exits; those stops become the reports the tracer waits for
// (platform-linux-stops.cc).  The calls below answer for the report being
// handled, or from what the backend knows of every task.
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include "tracer/platform-linux.h"

// The size of i386's struct user_regs_struct: 17 registers of 4 bytes.
#define I386_REGS_SIZE 68

static constexpr int TRACE_OPTIONS = PTRACE_O_TRACESYSGOOD |
    PTRACE_O_TRACEEXEC | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
    PTRACE_O_TRACECLONE | PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL;

// In the started child: the pipe on which the tool says it is traced.
static int go_fd = -1;

pid_t
proc_vfork(void)
{
	int go[2];
	pid_t pid;

	// New tasks are told from threads through /proc: without it they
	// would be lost, so the build does not start.
	linux_check_proc();
	// The child waits on the pipe until it is traced, so that nothing it
	// runs escapes the tracer.
	if (pipe2(go, O_CLOEXEC) == -1)
		return -1;
	if ((pid = fork()) == -1) {
		close(go[0]);
		close(go[1]);
		return -1;
	}
	if (pid == 0) {
		close(go[1]);
		go_fd = go[0];
		return 0;
	}
	close(go[0]);
	if (ptrace(PTRACE_SEIZE, pid, 0, TRACE_OPTIONS) == -1) {
		int saved = errno;
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
		errno = saved;
		err(1, "cannot trace the command: ptrace(PTRACE_SEIZE)");
	}
	close(go[1]);
	return pid;
}

int
pt_trace_me(void)
{
	char c;

	while (read(go_fd, &c, 1) == -1 && errno == EINTR)
		;
	close(go_fd);
	if (linux_install_filter() == -1)
		err(1, "cannot install the exec filter");
	return 0;
}

pid_t
proc_waitpid(pid_t pid)
{
	int status;

	// Up to the exec of the command: its execvp's failed attempts along
	// PATH are its own business.
	for (;;) {
		if (waitpid(pid, &status, __WALL) == -1) {
			if (errno == EINTR)
				continue;
			return -1;
		}
		if (!WIFSTOPPED(status))
			return pid;
		int event = (unsigned)status >> 16;
		if (event == PTRACE_EVENT_EXEC)
			break;
		int sig = event == 0 && WSTOPSIG(status) != (SIGTRAP | 0x80) ?
		    WSTOPSIG(status) : 0;
		ptrace(PTRACE_CONT, pid, 0, sig);
	}
	linux_task t = {};
	t.tid = t.pid = t.lwpid = pid;
	linux_tasks[pid] = t;
	linux_cur = {};
	linux_cur.pid = pid;
	linux_cur.lwp.pl_lwpid = pid;
	linux_cur.resume_tid = pid;
	linux_cur.resume_request = PTRACE_CONT;
	return pid;
}

int
proc_kill(pid_t pid, int sig)
{
	return kill(pid, sig);
}

static int
known_process(pid_t pid)
{
	if (linux_process_known(pid))
		return 0;
	errno = ESRCH;
	return -1;
}

// Linux traces new processes and threads from birth once the started child
// has been seized with its options.
int
pt_follow_fork(pid_t pid)
{
	return known_process(pid);
}

int
pt_lwp_events(pid_t pid)
{
	return known_process(pid);
}

int
pt_getnumlwps(pid_t pid)
{
	int n = 0;

	for (const auto &[tid, t] : linux_tasks)
		if (t.pid == pid && !t.quiet)
			n++;
	if (n == 0) {
		errno = ESRCH;
		return -1;
	}
	return n;
}

int
pt_getlwplist(pid_t pid, lwpid_t *list, int n)
{
	int count = 0;

	for (const auto &[tid, t] : linux_tasks)
		if (t.pid == pid && !t.quiet && count < n)
			list[count++] = t.lwpid;
	if (count == 0) {
		errno = ESRCH;
		return -1;
	}
	return count;
}

int
pt_lwpinfo(lwpid_t id, lwp_info *info)
{
	if (id == linux_cur.pid || id == linux_cur.lwp.pl_lwpid) {
		*info = linux_cur.lwp;
		return 0;
	}
	// Another thread: not at a stop of its own.
	for (const auto &[tid, t] : linux_tasks) {
		if (t.lwpid == id && !t.quiet) {
			*info = {};
			info->pl_lwpid = id;
			return 0;
		}
	}
	errno = ESRCH;
	return -1;
}

int
pt_get_sc_args(lwpid_t lwpid, uint64_t *args, size_t n)
{
	if (lwpid != linux_cur.lwp.pl_lwpid ||
	    !(linux_cur.lwp.pl_flags & PL_FLAG_SCE)) {
		errno = EINVAL;
		return -1;
	}
	for (size_t i = 0; i < n; i++)
		args[i] = i < 3 ? linux_cur.call.args[i] : 0;
	return 0;
}

// The task through which to reach process pid: the stopped one, as the
// leader may have exited while other threads run.
static pid_t
stopped_tid(pid_t pid)
{
	return linux_cur.pid == pid && linux_cur.resume_tid != 0 ?
	    linux_cur.resume_tid : pid;
}

int
pt_read_d(pid_t pid, uint64_t address, void *buffer, size_t length)
{
	pid_t tid = stopped_tid(pid);
	struct iovec local = { buffer, length };
	struct iovec remote = { (void *)(uintptr_t)address, length };

	if (process_vm_readv(tid, &local, 1, &remote, 1, 0) != (ssize_t)length)
		return -1;
	return 0;
}

int
pt_syscall(pid_t pid, int sig)
{
	if (linux_cur.pid != pid) {
		errno = ESRCH;
		return -1;
	}
	pid_t tid = linux_cur.resume_tid;
	linux_cur.resume_tid = 0;
	if (tid == 0)
		return 0;
	return ptrace(linux_cur.resume_request, tid, 0, sig) == -1 ? -1 : 0;
}

// The exec filter cannot be taken off a task, and untraced it would make
// every exec fail with ENOSYS: a process the tracer lets go stays traced,
// silently.  Its execs run, its new threads and children are kept the same
// way, and nothing of them is reported again.
int
pt_detach(pid_t pid, uintptr_t /* address */, int sig)
{
	pid_t tid;

	for (auto &[id, t] : linux_tasks) {
		if (t.pid == pid) {
			t.quiet = true;
			t.in_exec = false;
		}
	}
	// Stops of it still to be reported are answered here.
	for (auto it = linux_reports.begin(); it != linux_reports.end();) {
		if (it->pid != pid) {
			++it;
			continue;
		}
		if (it->resume_tid != 0)
			ptrace(PTRACE_CONT, it->resume_tid, 0,
			    it->lwp.pl_flags == 0 ? it->status : 0);
		it = linux_reports.erase(it);
	}
	if (linux_cur.pid != pid || (tid = linux_cur.resume_tid) == 0)
		return 0;
	linux_cur.resume_tid = 0;
	return ptrace(PTRACE_CONT, tid, 0, sig) == -1 ? -1 : 0;
}

// A traced task stops as it would untraced, and stays traced: the backend
// keeps its job-control stop with PTRACE_LISTEN.
int
proc_stop_needs_detach(pid_t /* pid */, int /* sig */)
{
	return 0;
}

// The working directory of the stopped task, through /proc.
int
proc_cwd(pid_t pid, lwpid_t, proc_cwd_info *cwd)
{
	return linux_cwd(stopped_tid(pid), cwd);
}

// One string may hold MAX_ARG_STRLEN bytes, 32 pages.  Strings and pointers
// (8 bytes each, whatever the ABI) together may take a quarter of the stack
// limit, but never more than three quarters of _STK_LIM (8 MiB), whatever
// the limit: the most any exec is allowed.
const exec_arg_limits *
proc_exec_limits(void)
{
	static const exec_arg_limits limits = { 32 * 4096,
	    8 * 1024 * 1024 / 4 * 3, 8 };

	return &limits;
}

int
proc_stat(const proc_cwd_info *cwd, const char *path, struct stat *sb)
{
	return linux_stat_in_root(cwd, path, sb);
}

// The size of the general registers of stopped task tid, which is that of
// the mode its code runs in; -1 with errno.
static int
regset_size(pid_t tid)
{
	struct user_regs_struct regs;
	struct iovec iov = { &regs, sizeof(regs) };

	if (ptrace(PTRACE_GETREGSET, tid, NT_PRSTATUS, &iov) == -1)
		return -1;
	return (int)iov.iov_len;
}

// The ABI of a process, named as FreeBSD names Linux programs: at an exec
// entry that of the call itself, which a 64-bit program may make as i386 or
// x32 code; otherwise that of the code the stopped task runs, which ptrace
// tells of any task it has stopped, whoever may read its program.
int
proc_sv_name(pid_t pid, char *name, size_t len)
{
	pid_t tid = stopped_tid(pid);
	const char *abi;
	int n;

	if (linux_cur.pid == pid && (linux_cur.lwp.pl_flags & PL_FLAG_SCE))
		abi = linux_cur.call.ilp32 ? "Linux ELF32" : "Linux ELF64";
	else if ((n = regset_size(tid)) == (int)sizeof(user_regs_struct))
		abi = "Linux ELF64";
	else if (n == I386_REGS_SIZE)
		abi = "Linux ELF32";
	else if (n != -1)
		abi = "Linux unknown";
	else if (linux_exe_abi(tid, name, len) == 0)
		// Only SIGKILL takes a task out of a ptrace stop: it is
		// ending, and its program, while it lasts, names the ABI.
		return 0;
	else
		// Ending, and its program is gone or not ours to read: its
		// end is the next thing reported of it, and nothing of it is
		// read before.
		abi = "Linux ELF64";
	n = snprintf(name, len, "%s", abi);
	return n < 0 || (size_t)n >= len ? -1 : 0;
}

// /proc/PID/cmdline and environ: the strings the kernel copied to the new
// image's stack, as they stand until the program changes them.
char *
proc_image_strings(pid_t pid, int which, size_t *len)
{
	// Beyond what one exec accepts: the kernel caps its strings at 6 MiB.
	const size_t cap = 8 << 20;
	char path[64];
	size_t size = 4096, n = 0;
	ssize_t got = -1;
	char *buf;
	int fd;

	snprintf(path, sizeof(path), "/proc/%ld/%s", (long)stopped_tid(pid),
	    which == PROC_IMAGE_ARGS ? "cmdline" : "environ");
	if ((fd = open(path, O_RDONLY | O_CLOEXEC)) == -1)
		return nullptr;
	if ((buf = static_cast<char *>(malloc(size))) == nullptr) {
		close(fd);
		return nullptr;
	}
	for (;;) {
		if (n == size) {
			char *p = size < cap ? static_cast<char *>(
			    realloc(buf, size * 2)) : nullptr;
			if (p == nullptr)
				break;
			buf = p;
			size *= 2;
		}
		got = read(fd, buf + n, size - n);
		if (got == -1 && errno == EINTR)
			continue;
		if (got <= 0)
			break;
		n += (size_t)got;
	}
	close(fd);
	if (got != 0) {
		free(buf);
		return nullptr;
	}
	*len = n;
	return buf;
}

pid_t
proc_parent(pid_t pid)
{
	auto it = linux_tasks.find(pid);

	return it != linux_tasks.end() && it->second.pid == pid &&
	    it->second.ppid > 0 ? it->second.ppid : -1;
}
