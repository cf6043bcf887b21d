// The turning of Linux stops into the reports the tracer waits for.
//
// A Linux stop is one task's: the backend turns it into a report on its
// process, as FreeBSD gives them, and keeps the stops it needs for itself
// (fork events, job-control stops, the seccomp stops of a traced program's
// own filter) away from the tracer.  Some reports have no stopped task
// behind them (a thread that has exited): resuming such a report does
// nothing.
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <err.h>

#include "tracer/platform-linux.h"

std::unordered_map<pid_t, linux_task> linux_tasks;
std::deque<linux_report> linux_reports;
linux_report linux_cur;

static linux_report
make_report(int si_code, pid_t pid, int status, lwpid_t lwpid, int flags,
    pid_t resume_tid, enum __ptrace_request request)
{
	linux_report r = {};

	r.si_code = si_code;
	r.pid = pid;
	r.status = status;
	r.lwp.pl_lwpid = lwpid;
	r.lwp.pl_flags = flags;
	r.resume_tid = resume_tid;
	r.resume_request = request;
	return r;
}

static void
queue_trap(const linux_task &t, int flags, pid_t resume_tid,
    enum __ptrace_request request)
{
	linux_reports.push_back(make_report(CLD_TRAPPED, t.pid, SIGTRAP,
	    t.lwpid, flags, resume_tid, request));
}

// The records of an exec's entry and end carry execve's number and its
// three arguments, whichever exec call of whichever ABI was made.
static void
queue_exec_trap(const linux_task &t, int flags, pid_t resume_tid,
    enum __ptrace_request request)
{
	queue_trap(t, flags, resume_tid, request);
	linux_report &r = linux_reports.back();
	r.lwp.pl_syscall_code = LINUX_REPORTED_EXECVE;
	r.lwp.pl_syscall_narg = 3;
	r.call = t.call;
}

// Reports every task of process pid but keep as exited, and forgets them.
static void
report_others_exited(pid_t pid, pid_t keep)
{
	for (auto it = linux_tasks.begin(); it != linux_tasks.end();) {
		if (it->second.pid == pid && it->first != keep) {
			if (!it->second.quiet)
				queue_trap(it->second, PL_FLAG_EXITED, 0,
				    PTRACE_CONT);
			it = linux_tasks.erase(it);
		} else
			++it;
	}
}

bool
linux_process_known(pid_t pid)
{
	for (const auto &[tid, t] : linux_tasks)
		if (t.pid == pid && !t.quiet)
			return true;
	return false;
}

static bool
process_let_go(pid_t pid)
{
	for (const auto &[tid, t] : linux_tasks)
		if (t.pid == pid && t.quiet)
			return true;
	return false;
}

static bool
lwpid_in_use(pid_t pid, lwpid_t lwpid)
{
	for (const auto &[tid, t] : linux_tasks)
		if (t.pid == pid && t.lwpid == lwpid)
			return true;
	return false;
}

// A stop of a task never seen before: the first stop of a new process or
// thread, told apart by its thread group, whatever event created it and
// whether or not its creator's event has been seen (or ever will be: a
// creator killed in its fork does not stop there).  The children and threads
// of a process let go are kept as it is.
static linux_task *
new_task(pid_t tid, bool first_stop)
{
	pid_t resume = first_stop ? tid : 0;
	linux_task t = {};
	pid_t tgid = linux_tgid(tid, &t.ppid);

	t.tid = tid;
	t.pid = tgid;
	t.lwpid = tid;
	if (tgid == tid ? process_let_go(t.ppid) : !linux_process_known(tgid)) {
		t.quiet = true;
		linux_tasks[tid] = t;
		if (first_stop)
			ptrace(PTRACE_CONT, tid, 0, 0);
		return &linux_tasks[tid];
	}
	if (tgid == tid) {
		linux_tasks[tid] = t;
		linux_reports.push_back(make_report(CLD_TRAPPED, tid, SIGTRAP,
		    tid, PL_FLAG_CHILD, resume, PTRACE_CONT));
		return &linux_tasks[tid];
	}
	// The id may still name the thread that took over the process id at
	// an exec: pick another the tracer does not know in this process.
	while (lwpid_in_use(tgid, t.lwpid))
		t.lwpid = t.lwpid == INT32_MAX ? 1 : t.lwpid + 1;
	linux_tasks[tid] = t;
	queue_trap(t, PL_FLAG_BORN, resume, PTRACE_CONT);
	return &linux_tasks[tid];
}

static void
on_seccomp(linux_task *t)
{
	struct __ptrace_syscall_info info;

	if (ptrace(PTRACE_GET_SYSCALL_INFO, t->tid, sizeof(info), &info) <= 0 ||
	    info.op != PTRACE_SYSCALL_INFO_SECCOMP) {
		// Killed since its stop: nothing is left to answer.
		ptrace(PTRACE_CONT, t->tid, 0, 0);
		return;
	}
	if (info.seccomp.ret_data == LINUX_CLONE_TAG &&
	    linux_untraced_clone_of(info.arch, info.seccomp.nr,
	    info.seccomp.args)) {
		// Untraced, the new task would keep the filter with no one
		// to answer it: it is traced like any other.
		if (linux_trace_clone(t->tid, info.arch,
		    info.seccomp.args[0]) == -1 && errno != ESRCH)
			err(1, "cannot answer the clone of task %ld",
			    (long)t->tid);
		ptrace(PTRACE_CONT, t->tid, 0, 0);
		return;
	}
	if (info.seccomp.ret_data != LINUX_FILTER_TAG ||
	    !linux_exec_call_of(info.arch, info.seccomp.nr, info.seccomp.args,
	    &t->call)) {
		// The SECCOMP_RET_TRACE of a filter of the program's own:
		// with no tracer of its own the call fails with ENOSYS.
		if (linux_fail_call(t->tid, ENOSYS) == -1 && errno != ESRCH)
			err(1, "cannot answer the seccomp stop of task %ld",
			    (long)t->tid);
		ptrace(PTRACE_CONT, t->tid, 0, 0);
		return;
	}
	if (t->quiet) {
		ptrace(PTRACE_CONT, t->tid, 0, 0);
		return;
	}
	t->in_exec = true;
	queue_exec_trap(*t, PL_FLAG_SCE, t->tid, PTRACE_SYSCALL);
}

// A successful exec, reported on the process id: the task that called it
// may have had another id, and every other thread of the process is gone.
static void
on_exec(pid_t pid)
{
	unsigned long former = 0;

	ptrace(PTRACE_GETEVENTMSG, pid, 0, &former);
	auto it = linux_tasks.find((pid_t)former);
	if (it == linux_tasks.end())
		it = linux_tasks.find(pid);
	if (it == linux_tasks.end()) {
		ptrace(PTRACE_CONT, pid, 0, 0);
		return;
	}
	linux_task t = it->second;
	report_others_exited(t.pid, it->first);
	linux_tasks.erase(it);
	t.tid = pid;
	t.in_exec = false;
	linux_tasks[pid] = t;
	// Resuming with PTRACE_CONT skips the exec's system-call-exit stop.
	if (t.quiet)
		ptrace(PTRACE_CONT, pid, 0, 0);
	else
		queue_exec_trap(t, PL_FLAG_SCX | PL_FLAG_EXEC, pid,
		    PTRACE_CONT);
}

static void
on_stop(pid_t tid, int status)
{
	int sig = WSTOPSIG(status);
	int event = (unsigned)status >> 16;
	linux_task *t;

	auto it = linux_tasks.find(tid);
	if (it == linux_tasks.end()) {
		t = new_task(tid, event == PTRACE_EVENT_STOP);
		if (event == PTRACE_EVENT_STOP)
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
		// Fork, vfork and clone events: the new task is met at its
		// own first stop.
		ptrace(PTRACE_CONT, tid, 0, 0);
		return;
	}

	if (sig == (SIGTRAP | 0x80)) {
		// The end of a failed exec; other system-call stops are not
		// asked for.
		if (t->in_exec) {
			t->in_exec = false;
			queue_exec_trap(*t, PL_FLAG_SCX, tid, PTRACE_CONT);
		} else
			ptrace(PTRACE_CONT, tid, 0, 0);
		return;
	}
	// A signal for the process: the tracer passes it on.
	if (t->quiet) {
		ptrace(PTRACE_CONT, tid, 0, sig);
		return;
	}
	linux_reports.push_back(make_report(CLD_TRAPPED, t->pid, sig, t->lwpid,
	    0, tid, PTRACE_CONT));
}

static void
on_exit(pid_t tid, int status)
{
	auto it = linux_tasks.find(tid);
	if (it == linux_tasks.end())
		// A new task killed before its first stop, or a thread
		// already reported gone.
		return;
	linux_task t = it->second;
	if (tid != t.pid) {
		linux_tasks.erase(it);
		if (!t.quiet)
			queue_trap(t, PL_FLAG_EXITED, 0, PTRACE_CONT);
		return;
	}
	// The leader is reported last, once its process is gone.
	report_others_exited(t.pid, tid);
	linux_tasks.erase(tid);
	if (t.quiet)
		return;
	if (WIFEXITED(status))
		linux_reports.push_back(make_report(CLD_EXITED, t.pid,
		    WEXITSTATUS(status), 0, 0, 0, PTRACE_CONT));
	else
		linux_reports.push_back(make_report(WCOREDUMP(status) ?
		    CLD_DUMPED : CLD_KILLED, t.pid, WTERMSIG(status), 0, 0, 0,
		    PTRACE_CONT));
}

int
wait_traced(siginfo_t *si)
{
	int status;
	pid_t tid;

	// ECHILD once the tool has no child left, traced or not.
	while (linux_reports.empty()) {
		if ((tid = waitpid(-1, &status, __WALL)) == -1)
			return -1;
		if (WIFSTOPPED(status))
			on_stop(tid, status);
		else if (WIFEXITED(status) || WIFSIGNALED(status))
			on_exit(tid, status);
	}
	linux_cur = linux_reports.front();
	linux_reports.pop_front();
	memset(si, 0, sizeof(*si));
	si->si_signo = SIGCHLD;
	si->si_code = linux_cur.si_code;
	si->si_pid = linux_cur.pid;
	si->si_status = linux_cur.status;
	return 0;
}
