// The event loop: every stop and exit of every traced process, until none is
// left.
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <err.h>

#include "compdb/compdb.h"
#include "tracer/tracer.h"

// The flags that make a SIGTRAP stop one of the tracer's own.
static constexpr int TRACER_FLAGS =
    PL_FLAG_BORN | PL_FLAG_EXITED | PL_FLAG_SCE | PL_FLAG_SCX;

// Drops proc from the registry.
static void
drop_proc(tracer_info *info, traced_proc *proc)
{
	if (proc->inside)
		info->inside_procs--;
	release_proc(proc);
}

void
exit_syscall(tracer_info *info, const lwp_info *lwpinfo)
{
	traced_thread *thread = info->curthread;
	traced_proc *proc;

	// The compile command this thread entered counts only if its exec
	// succeeded: a failed attempt along a search path is not a compilation.
	if (thread->pending != nullptr || thread->exec.entered ||
	    (lwpinfo->pl_flags & PL_FLAG_EXEC))
		exec_ended(info, thread,
		    (lwpinfo->pl_flags & PL_FLAG_EXEC) != 0);
	if (!(lwpinfo->pl_flags & PL_FLAG_EXEC))
		return;

	proc = thread->proc;
	assert(LIST_FIRST(&proc->threadlist) != nullptr &&
	    LIST_NEXT(LIST_FIRST(&proc->threadlist), entries) == nullptr);
	proc->abi = identify_abi(proc->pid);
	if (proc->abi == nullptr) {
		if (pt_detach(proc->pid, 1, 0) < 0)
			err(1, "Can not detach the process");
		drop_proc(info, proc);
	}
}

// A new process is inside a compile if the process that created it is.
// Its parent is asked of the kernel: the creator's fork event may come
// after the new process's first stop, or never.
static void
inherit_inside(tracer_info *info, traced_proc *proc)
{
	traced_proc *parent;
	pid_t ppid;

	if (info->inside_procs == 0)
		return;
	ppid = proc_parent(proc->pid);
	if (ppid > 0 && (parent = lookup_proc(info, ppid)) != nullptr &&
	    parent->inside)
		mark_inside(info, proc);
}

static bool
is_stop_signal(int sig)
{
	return sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN ||
	    sig == SIGTTOU;
}

// A stop signal that the process can only obey untraced: let it go with the
// signal, so that it stops and returns to its parent, whose wait for the stop
// would otherwise never end.  The process and the children it creates from
// then on are no longer followed, and its exit will not be reported: it
// leaves the registry now.  The started command is kept: its parent is the
// tool, which waits for no stop.  Returns whether it was let go.
static bool
let_go_to_stop(tracer_info *info, pid_t pid, int sig)
{
	if (!is_stop_signal(sig) || pid == info->command ||
	    proc_stop_needs_detach(pid, sig) != 1)
		return false;
	// Failing, it stays traced and the signal is passed on as any other.
	if (pt_detach(pid, 1, sig) == -1)
		return false;
	drop_proc(info, lookup_proc(info, pid));
	info->curthread = nullptr;
	return true;
}

// Handles one trapped stop of si->si_pid and returns the signal to resume
// it with.
static int
handle_trap(tracer_info *info, const siginfo_t *si)
{
	traced_proc *proc;
	lwp_info lwpinfo;

	if (pt_lwpinfo(si->si_pid, &lwpinfo) == -1)
		err(1, "ptrace(PT_LWPINFO)");

	if (lwpinfo.pl_flags & PL_FLAG_CHILD) {
		register_proc(info, si->si_pid, lwpinfo.pl_lwpid);
		assert(LIST_FIRST(&info->proclist)->abi != nullptr);
		inherit_inside(info, LIST_FIRST(&info->proclist));
	} else if (lwpinfo.pl_flags & PL_FLAG_BORN) {
		register_thread(lookup_proc(info, si->si_pid), lwpinfo.pl_lwpid);
	} else if (si->si_status == SIGTRAP &&
	    (lwpinfo.pl_flags & PL_FLAG_EXITED) &&
	    (proc = lookup_proc(info, si->si_pid)) != nullptr &&
	    lookup_thread(proc, lwpinfo.pl_lwpid) == nullptr) {
		// A thread that its process's exit or exec ends before it
		// first ran reports its end but never its birth.
		info->curthread = nullptr;
		return 0;
	}
	find_thread(info, si->si_pid, lwpinfo.pl_lwpid);

	if (si->si_status == SIGTRAP && (lwpinfo.pl_flags & TRACER_FLAGS)) {
		if (lwpinfo.pl_flags & PL_FLAG_BORN) {
			// registered above
		} else if (lwpinfo.pl_flags & PL_FLAG_EXITED) {
			release_thread(info->curthread);
			info->curthread = nullptr;
		} else if (lwpinfo.pl_flags & PL_FLAG_SCE) {
			enter_syscall(info, info->curthread, &lwpinfo);
		} else {
			exit_syscall(info, &lwpinfo);
		}
		return 0;
	}
	if (lwpinfo.pl_flags & PL_FLAG_CHILD)
		return 0;
	if (let_go_to_stop(info, si->si_pid, si->si_status))
		return 0;
	// A signal for the process: pass it on.
	return si->si_status;
}

void
mainloop(tracer_info *info)
{
	traced_proc *proc;
	siginfo_t si;
	int resume_signal;

	// Until the kernel has nothing left to report: an empty registry is
	// not the end, as a new child's first stop may come after the exit
	// of its parent and of every other traced process.
	for (;;) {
		if (wait_traced(&si) == -1) {
			if (errno == EINTR)
				continue;
			if (errno == ECHILD && LIST_EMPTY(&info->proclist))
				return;
			err(1, "Unexpected error from waitid");
		}
		assert(si.si_signo == SIGCHLD);

		switch (si.si_code) {
		case CLD_EXITED:
		case CLD_KILLED:
		case CLD_DUMPED:
			// The started command, once detached at an exec, is
			// still our child and its end is still reported.
			if ((proc = lookup_proc(info, si.si_pid)) == nullptr)
				break;
			// With all its threads: a process killed by SIGKILL
			// reports no thread's end before its own.
			drop_proc(info, proc);
			info->curthread = nullptr;
			break;
		case CLD_TRAPPED:
			resume_signal = handle_trap(info, &si);
			// A process let go at this stop runs on by itself.
			if (lookup_proc(info, si.si_pid) != nullptr)
				(void)pt_syscall(si.si_pid, resume_signal);
			break;
		case CLD_STOPPED:
			errx(1, "waitid reported CLD_STOPPED");
		default:
			break;
		}
	}
}
