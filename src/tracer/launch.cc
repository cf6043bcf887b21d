// Starting the build command as a traced child and bringing every new
// process under full tracing.
#include <cassert>
#include <cstdlib>
#include <err.h>
#include <unistd.h>

#include "compdb/compdb.h"
#include "compdb/string_list.h"
#include "tracer/tracer.h"

void
launch_traced(tracer_info *info, char *const argv[])
{
	pid_t child;

	child = proc_vfork();
	if (child == -1)
		err(1, "fork failed");
	if (child == 0) {
		pt_trace_me();
		execvp(argv[0], argv);
		// The child shares the tool's memory until it execs: leave
		// without running the tool's exit-time work.
		warn("execvp %s", argv[0]);
		_exit(1);
	}
	if (proc_waitpid(child) == -1)
		err(1, "unexpected stop in waitpid");
	register_proc(info, child, 0);
	info->command = child;
}

void
register_proc(tracer_info *info, pid_t pid, lwpid_t lwpid)
{
	traced_proc *proc;

	if (lookup_proc(info, pid) != nullptr)
		errx(1, "Duplicate process for pid %ld", (long)pid);
	if (pt_follow_fork(pid) == -1)
		err(1, "Unable to follow forks for pid %ld", (long)pid);
	if (pt_lwp_events(pid) == -1)
		err(1, "Unable to enable LWP events for pid %ld", (long)pid);

	proc = static_cast<traced_proc *>(calloc(1, sizeof(*proc)));
	if (proc == nullptr)
		err(1, "calloc() failed");
	proc->pid = pid;
	proc->abi = identify_abi(pid);
	LIST_INIT(&proc->threadlist);
	LIST_INSERT_HEAD(&info->proclist, proc, entries);

	if (lwpid != 0)
		register_thread(proc, lwpid);
	else
		add_threads(info, proc);
}

void
add_threads(tracer_info *info, traced_proc *proc)
{
	lwp_info lwpinfo;
	int n;

	n = pt_getnumlwps(proc->pid);
	if (n == -1)
		err(1, "Unable to fetch number of LWPs");
	assert(n > 0);

	malloc_ptr<lwpid_t> lwps(
	    static_cast<lwpid_t *>(calloc((size_t)n, sizeof(lwpid_t))));
	if (lwps == nullptr)
		err(1, "calloc() failed");
	n = pt_getlwplist(proc->pid, lwps.get(), n);
	if (n == -1)
		err(1, "Unable to fetch LWP list");

	for (int i = 0; i < n; i++) {
		traced_thread *thread = register_thread(proc, lwps.get()[i]);
		if (pt_lwpinfo(thread->lwpid, &lwpinfo) == -1)
			err(1, "ptrace(PT_LWPINFO)");
		if (lwpinfo.pl_flags & PL_FLAG_SCE) {
			info->curthread = thread;
			enter_syscall(info, thread, &lwpinfo);
		}
	}
}
