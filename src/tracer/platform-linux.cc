// The tracer's platform on Linux: the stops, records and reads of FreeBSD's
// process-debugging interface, made from Linux ptrace.
//
// FreeBSD stops a traced process at every system call; Linux ptrace doing the
// same makes a compiler many times slower.  Here a seccomp filter, inherited
// by every descendant, stops a task only when it enters execve or execveat,
// and ptrace events report the ends of execs, new tasks and exits.  A Linux
// stop is one task's: the backend turns it into a report on its process, as
// FreeBSD gives them, and keeps the stops it needs for itself (fork events,
// job-control stops, failed attempts of the started command's own execvp)
// away from the tracer.  Some reports have no stopped task behind them (a
// thread that has exited, a new task met before its first stop): resuming
// such a report does nothing.
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <elf.h>
#include <err.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

#include "tracer/platform.h"

#define EXECVE_NR 59
#define EXECVEAT_NR 322

static constexpr int TRACE_OPTIONS = PTRACE_O_TRACESYSGOOD |
    PTRACE_O_TRACEEXEC | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
    PTRACE_O_TRACECLONE | PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL;

// A traced task.  The tracer knows it by its process and an LWP id; the
// kernel's id for it changes when a thread other than the leader execs and
// takes the process id.
struct linux_task {
	pid_t tid;
	pid_t pid;
	lwpid_t lwpid;
	bool in_exec; // entered execve, resumed to see its end
	uint64_t args[3];
};

// One report for the tracer's wait, and how to resume what it reports.
struct report {
	int si_code;
	pid_t pid;
	int status;
	lwp_info lwp;
	pid_t resume_tid; // 0: nothing is stopped behind this report
	enum __ptrace_request resume_request;
	uint64_t args[3];
};

static std::unordered_map<pid_t, linux_task> tasks;
// Creators held at their fork or clone event until the new task's first stop
// has been seen, by the new task's id: as on FreeBSD, a process cannot go on
// (and end) before the tracer has met its child.
static std::unordered_map<pid_t, pid_t> held_creators;
// New tasks met before their creator's event.
static std::unordered_set<pid_t> early_tasks;
static std::deque<report> reports;
// The report being handled; valid until it is resumed.
static report cur;
// In the started child: the pipe on which the tool says it is traced.
static int go_fd = -1;

static void
queue_report(int si_code, pid_t pid, int status, lwpid_t lwpid, int flags,
    pid_t resume_tid, enum __ptrace_request request)
{
	report r = {};

	r.si_code = si_code;
	r.pid = pid;
	r.status = status;
	r.lwp.pl_lwpid = lwpid;
	r.lwp.pl_flags = flags;
	r.resume_tid = resume_tid;
	r.resume_request = request;
	reports.push_back(r);
}

static void
queue_trap(const linux_task &t, int flags, pid_t resume_tid,
    enum __ptrace_request request)
{
	queue_report(CLD_TRAPPED, t.pid, SIGTRAP, t.lwpid, flags, resume_tid,
	    request);
}

// The exec system-call records carry execve's number and its three
// arguments, whichever of execve and execveat was called.
static void
set_exec_call(report *r, const linux_task &t)
{
	r->lwp.pl_syscall_code = EXECVE_NR;
	r->lwp.pl_syscall_narg = 3;
	memcpy(r->args, t.args, sizeof(r->args));
}

// Reports every task of process pid but keep as exited, and forgets them.
static void
report_others_exited(pid_t pid, pid_t keep)
{
	for (auto it = tasks.begin(); it != tasks.end();) {
		if (it->second.pid == pid && it->first != keep) {
			queue_trap(it->second, PL_FLAG_EXITED, 0, PTRACE_CONT);
			it = tasks.erase(it);
		} else
			++it;
	}
}

static bool
process_known(pid_t pid)
{
	for (const auto &[tid, t] : tasks)
		if (t.pid == pid)
			return true;
	return false;
}

static bool
lwpid_in_use(pid_t pid, lwpid_t lwpid)
{
	for (const auto &[tid, t] : tasks)
		if (t.pid == pid && t.lwpid == lwpid)
			return true;
	return false;
}

static bool
release_creator(pid_t tid)
{
	auto it = held_creators.find(tid);
	if (it == held_creators.end())
		return false;
	ptrace(PTRACE_CONT, it->second, 0, 0);
	held_creators.erase(it);
	return true;
}

// The first stop of a new task: its creator goes on, or will not be held.
static void
met_new_task(pid_t tid)
{
	if (!release_creator(tid))
		early_tasks.insert(tid);
}

// The event of a task that created another: hold the creator until the new
// task has been met, unless it has been already or is gone.
static void
on_creation(pid_t creator)
{
	unsigned long child = 0;

	if (ptrace(PTRACE_GETEVENTMSG, creator, 0, &child) == -1 ||
	    early_tasks.erase((pid_t)child) != 0 ||
	    (kill((pid_t)child, 0) == -1 && errno == ESRCH))
		ptrace(PTRACE_CONT, creator, 0, 0);
	else
		held_creators[(pid_t)child] = creator;
}

// The thread group of a task, from /proc; -1 if it cannot be read.
static pid_t
read_tgid(pid_t tid)
{
	char path[64], buf[512];
	ssize_t n;
	int fd;

	snprintf(path, sizeof(path), "/proc/%ld/status", (long)tid);
	if ((fd = open(path, O_RDONLY | O_CLOEXEC)) == -1)
		return -1;
	n = read(fd, buf, sizeof(buf) - 1);
	close(fd);
	if (n <= 0)
		return -1;
	buf[n] = '\0';
	const char *p = strstr(buf, "\nTgid:");
	return p == nullptr ? -1 : (pid_t)strtol(p + 6, nullptr, 10);
}

// A stop of a task never seen before: the first stop of a new process or
// thread, told apart by its thread group, whatever event created it and
// whether or not its creator's event has been seen.
static linux_task *
new_task(pid_t tid, bool first_stop)
{
	pid_t resume = first_stop ? tid : 0;
	pid_t tgid = read_tgid(tid);
	linux_task t = {};

	met_new_task(tid);
	if (tgid == -1) {
		// Gone already: its end, if it is still to come, is passed over.
		ptrace(PTRACE_CONT, tid, 0, 0);
		return nullptr;
	}
	t.tid = tid;
	if (tgid == tid) {
		t.pid = t.lwpid = tid;
		tasks[tid] = t;
		queue_report(CLD_TRAPPED, tid, SIGTRAP, tid, PL_FLAG_CHILD,
		    resume, PTRACE_CONT);
		return &tasks[tid];
	}
	if (!process_known(tgid)) {
		// A thread of a process no longer traced.
		ptrace(PTRACE_DETACH, tid, 0, 0);
		return nullptr;
	}
	t.pid = tgid;
	// The id may still name the thread that took over the process id at
	// an exec: pick another the tracer does not know in this process.
	t.lwpid = tid;
	while (lwpid_in_use(tgid, t.lwpid))
		t.lwpid = t.lwpid == INT32_MAX ? 1 : t.lwpid + 1;
	tasks[tid] = t;
	queue_trap(t, PL_FLAG_BORN, resume, PTRACE_CONT);
	return &tasks[tid];
}

static void
on_seccomp(linux_task *t)
{
	struct __ptrace_syscall_info info;

	if (ptrace(PTRACE_GET_SYSCALL_INFO, t->tid, sizeof(info), &info) <= 0 ||
	    info.op != PTRACE_SYSCALL_INFO_SECCOMP) {
		ptrace(PTRACE_CONT, t->tid, 0, 0);
		return;
	}
	// execveat(dirfd, path, argv, envp, flags) carries execve's three
	// arguments one place further.
	int first = info.seccomp.nr == EXECVEAT_NR ? 1 : 0;
	for (int i = 0; i < 3; i++)
		t->args[i] = info.seccomp.args[first + i];
	t->in_exec = true;
	queue_trap(*t, PL_FLAG_SCE, t->tid, PTRACE_SYSCALL);
	set_exec_call(&reports.back(), *t);
}

// A successful exec, reported on the process id: the task that called it
// may have had another id, and every other thread of the process is gone.
static void
on_exec(pid_t pid)
{
	unsigned long former = 0;

	ptrace(PTRACE_GETEVENTMSG, pid, 0, &former);
	auto it = tasks.find((pid_t)former);
	if (it == tasks.end())
		it = tasks.find(pid);
	if (it == tasks.end()) {
		ptrace(PTRACE_CONT, pid, 0, 0);
		return;
	}
	linux_task t = it->second;
	report_others_exited(t.pid, it->first);
	tasks.erase(it);
	t.tid = pid;
	t.in_exec = false;
	tasks[pid] = t;
	// Resuming with PTRACE_CONT skips the exec's system-call-exit stop.
	queue_trap(t, PL_FLAG_SCX | PL_FLAG_EXEC, pid, PTRACE_CONT);
	set_exec_call(&reports.back(), t);
}

static void
on_stop(pid_t tid, int status)
{
	int sig = WSTOPSIG(status);
	int event = (unsigned)status >> 16;
	linux_task *t;

	auto it = tasks.find(tid);
	if (it == tasks.end()) {
		t = new_task(tid, event == PTRACE_EVENT_STOP);
		if (t == nullptr || event == PTRACE_EVENT_STOP)
			return;
	} else
		t = &it->second;

	switch (event) {
	case PTRACE_EVENT_SECCOMP:
		on_seccomp(t);
		return;
	case PTRACE_EVENT_EXEC:
		on_exec(tid);
		return;
	case PTRACE_EVENT_FORK:
	case PTRACE_EVENT_VFORK:
	case PTRACE_EVENT_CLONE:
		on_creation(tid);
		return;
	case PTRACE_EVENT_STOP:
		// A job-control stop is kept until SIGCONT, as it would be
		// untraced; anything else here is a wake-up.
		if (sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN ||
		    sig == SIGTTOU)
			ptrace(PTRACE_LISTEN, tid, 0, 0);
		else
			ptrace(PTRACE_CONT, tid, 0, 0);
		return;
	case 0:
		break;
	default:
		ptrace(PTRACE_CONT, tid, 0, 0);
		return;
	}

	if (sig == (SIGTRAP | 0x80)) {
		// The end of a failed exec; other system-call stops are not
		// asked for.
		if (t->in_exec) {
			t->in_exec = false;
			queue_trap(*t, PL_FLAG_SCX, tid, PTRACE_CONT);
			set_exec_call(&reports.back(), *t);
		} else
			ptrace(PTRACE_CONT, tid, 0, 0);
		return;
	}
	// A signal for the process: the tracer passes it on.
	queue_report(CLD_TRAPPED, t->pid, sig, t->lwpid, 0, tid, PTRACE_CONT);
}

static void
on_exit(pid_t tid, int status)
{
	auto it = tasks.find(tid);
	if (it == tasks.end()) {
		// A new task killed before its first stop, or a thread
		// already reported gone.
		release_creator(tid);
		return;
	}
	linux_task t = it->second;
	if (tid != t.pid) {
		tasks.erase(it);
		queue_trap(t, PL_FLAG_EXITED, 0, PTRACE_CONT);
		return;
	}
	// The leader is reported last, once its process is gone.
	report_others_exited(t.pid, tid);
	tasks.erase(tid);
	if (WIFEXITED(status))
		queue_report(CLD_EXITED, t.pid, WEXITSTATUS(status), 0, 0, 0,
		    PTRACE_CONT);
	else
		queue_report(WCOREDUMP(status) ? CLD_DUMPED : CLD_KILLED, t.pid,
		    WTERMSIG(status), 0, 0, 0, PTRACE_CONT);
}

int
wait_traced(siginfo_t *si)
{
	int status;
	pid_t tid;

	while (reports.empty()) {
		if ((tid = waitpid(-1, &status, __WALL)) == -1)
			return -1;
		if (WIFSTOPPED(status))
			on_stop(tid, status);
		else if (WIFEXITED(status) || WIFSIGNALED(status))
			on_exit(tid, status);
	}
	cur = reports.front();
	reports.pop_front();
	memset(si, 0, sizeof(*si));
	si->si_signo = SIGCHLD;
	si->si_code = cur.si_code;
	si->si_pid = cur.pid;
	si->si_status = cur.status;
	return 0;
}

pid_t
proc_vfork(void)
{
	int go[2];
	pid_t pid;

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
	static struct sock_filter filter[] = {
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
		    offsetof(struct seccomp_data, arch)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 4),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
		    offsetof(struct seccomp_data, nr)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, EXECVE_NR, 1, 0),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, EXECVEAT_NR, 0, 1),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	struct sock_fprog prog = {
		(unsigned short)(sizeof(filter) / sizeof(filter[0])), filter
	};
	char c;

	while (read(go_fd, &c, 1) == -1 && errno == EINTR)
		;
	close(go_fd);
	// Without privilege a filter needs no_new_privs, which also keeps
	// setuid programs from gaining privilege, as any tracer would.
	if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == -1) {
		if (errno != EACCES ||
		    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1 ||
		    syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == -1)
			err(1, "cannot install the exec filter");
	}
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
	tasks[pid] = t;
	cur = {};
	cur.pid = pid;
	cur.lwp.pl_lwpid = pid;
	cur.resume_tid = pid;
	cur.resume_request = PTRACE_CONT;
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
	if (process_known(pid))
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

	for (const auto &[tid, t] : tasks)
		if (t.pid == pid)
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

	for (const auto &[tid, t] : tasks)
		if (t.pid == pid && count < n)
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
	if (id == cur.pid || id == cur.lwp.pl_lwpid) {
		*info = cur.lwp;
		return 0;
	}
	// Another thread: not at a stop of its own.
	for (const auto &[tid, t] : tasks) {
		if (t.lwpid == id) {
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
	if (lwpid != cur.lwp.pl_lwpid || !(cur.lwp.pl_flags & PL_FLAG_SCE)) {
		errno = EINVAL;
		return -1;
	}
	for (size_t i = 0; i < n; i++)
		args[i] = i < 3 ? cur.args[i] : 0;
	return 0;
}

// The task through which to reach process pid: the stopped one, as the
// leader may have exited while other threads run.
static pid_t
stopped_tid(pid_t pid)
{
	return cur.pid == pid && cur.resume_tid != 0 ? cur.resume_tid : pid;
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
	if (cur.pid != pid) {
		errno = ESRCH;
		return -1;
	}
	pid_t tid = cur.resume_tid;
	cur.resume_tid = 0;
	if (tid == 0)
		return 0;
	return ptrace(cur.resume_request, tid, 0, sig) == -1 ? -1 : 0;
}

int
pt_detach(pid_t pid, uintptr_t /* address */)
{
	int rc = 0;

	// After an exec the process has one thread, the one stopped.
	for (auto it = tasks.begin(); it != tasks.end();) {
		if (it->second.pid != pid) {
			++it;
			continue;
		}
		if (ptrace(PTRACE_DETACH, it->first, 0, 0) == -1 &&
		    it->first == cur.resume_tid)
			rc = -1;
		it = tasks.erase(it);
	}
	if (cur.pid == pid)
		cur.resume_tid = 0;
	return rc;
}

// The target of one of a task's /proc links, or "" if it has none that fits.
static void
read_proc_link(pid_t tid, const char *name, char *buf, size_t size)
{
	char link[64];
	ssize_t n;

	snprintf(link, sizeof(link), "/proc/%ld/%s", (long)tid, name);
	n = readlink(link, buf, size);
	if (n <= 0 || (size_t)n >= size)
		n = 0;
	buf[n] = '\0';
}

// The working directory of the stopped task, through /proc: its identity
// even where no path the tool can reach names it, and its path as the task
// names it, inside the root it may have changed to.  Its files are looked
// up through the same links, so that a build in a chroot or another mount
// namespace is seen as it sees itself.
int
proc_cwd(pid_t pid, lwpid_t, proc_cwd_info *cwd)
{
	pid_t tid = stopped_tid(pid);
	char root[PATH_MAX];
	struct stat sb;

	snprintf(cwd->rel_prefix, sizeof(cwd->rel_prefix), "/proc/%ld/cwd/",
	    (long)tid);
	snprintf(cwd->abs_prefix, sizeof(cwd->abs_prefix), "/proc/%ld/root",
	    (long)tid);
	if (stat(cwd->rel_prefix, &sb) == -1)
		return -1;
	cwd->dev = sb.st_dev;
	cwd->ino = sb.st_ino;

	read_proc_link(tid, "cwd", cwd->path, sizeof(cwd->path));
	read_proc_link(tid, "root", root, sizeof(root));
	std::string_view path(cwd->path), top(root);
	if (top != "/" && path.starts_with(top) &&
	    (path.size() == top.size() || path[top.size()] == '/')) {
		path.remove_prefix(top.size());
		memmove(cwd->path, path.data(), path.size());
		cwd->path[path.size()] = '\0';
		if (path.empty())
			strcpy(cwd->path, "/");
	}
	// A path that does not lead back to the directory (it was removed,
	// or lies outside the task's root) names nothing.
	std::string check = std::string(cwd->abs_prefix) + cwd->path;
	if (cwd->path[0] != '/' || stat(check.c_str(), &sb) == -1 ||
	    sb.st_dev != cwd->dev || sb.st_ino != cwd->ino)
		cwd->path[0] = '\0';
	return 0;
}

// The ABI of the program a process runs, named as FreeBSD names Linux
// programs, from the ELF header of its executable.
int
proc_sv_name(pid_t pid, char *name, size_t len)
{
	pid_t tid = stopped_tid(pid);
	unsigned char ident[EI_NIDENT + 4];
	char path[64];
	uint16_t machine;
	int fd, n;

	snprintf(path, sizeof(path), "/proc/%ld/exe", (long)tid);
	if ((fd = open(path, O_RDONLY | O_CLOEXEC)) == -1) {
		// Killed since its stop: it has no program left, its end is
		// the next thing reported of it and nothing of it is read.
		if (errno == ENOENT || errno == ESRCH)
			return snprintf(name, len, "Linux ELF64") < (int)len ? 0 : -1;
		return -1;
	}
	n = (int)pread(fd, ident, sizeof(ident), 0);
	close(fd);
	if (n != (int)sizeof(ident) || memcmp(ident, ELFMAG, SELFMAG) != 0)
		n = snprintf(name, len, "Linux unknown");
	else {
		memcpy(&machine, ident + EI_NIDENT + 2, sizeof(machine));
		if (ident[EI_CLASS] == ELFCLASS64 && machine == EM_X86_64)
			n = snprintf(name, len, "Linux ELF64");
		else if (ident[EI_CLASS] == ELFCLASS32 && machine == EM_386)
			n = snprintf(name, len, "Linux ELF32");
		else
			n = snprintf(name, len, "Linux ELF%d machine %u",
			    ident[EI_CLASS] == ELFCLASS64 ? 64 : 32, machine);
	}
	return n < 0 || (size_t)n >= len ? -1 : 0;
}
