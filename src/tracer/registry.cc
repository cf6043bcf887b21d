// The registry of traced processes and their threads.
#include <cassert>
#include <cstdlib>

#include <err.h>

#include "compdb/compdb.h"
#include "tracer/tracer.h"

traced_thread *
register_thread(traced_proc *proc, lwpid_t lwpid)
{
	traced_thread *thread;

	LIST_FOREACH(thread, &proc->threadlist, entries) {
		if (thread->lwpid == lwpid)
			errx(1, "Duplicate thread for LWP %ld", (long)lwpid);
	}
	thread = static_cast<traced_thread *>(calloc(1, sizeof(*thread)));
	if (thread == nullptr)
		err(1, "calloc() failed");
	thread->proc = proc;
	thread->lwpid = lwpid;
	LIST_INSERT_HEAD(&proc->threadlist, thread, entries);
	return thread;
}

traced_proc *
lookup_proc(tracer_info *info, pid_t pid)
{
	traced_proc *proc;

	LIST_FOREACH(proc, &info->proclist, entries) {
		if (proc->pid == pid)
			return proc;
	}
	return nullptr;
}

traced_thread *
lookup_thread(traced_proc *proc, lwpid_t lwpid)
{
	traced_thread *thread;

	LIST_FOREACH(thread, &proc->threadlist, entries) {
		if (thread->lwpid == lwpid)
			return thread;
	}
	return nullptr;
}

void
find_thread(tracer_info *info, pid_t pid, lwpid_t lwpid)
{
	traced_proc *proc = lookup_proc(info, pid);
	traced_thread *thread;

	assert(proc != nullptr);
	thread = lookup_thread(proc, lwpid);
	if (thread == nullptr)
		errx(1, "could not find thread");
	info->curthread = thread;
}

void
release_thread(traced_thread *thread)
{
	LIST_REMOVE(thread, entries);
	forget_exec(thread);
	free(thread);
}

void
release_proc(traced_proc *proc)
{
	traced_thread *thread, *next;

	// The threads go with the process, so they need not be unlinked.
	for (thread = LIST_FIRST(&proc->threadlist); thread != nullptr;
	    thread = next) {
		next = LIST_NEXT(thread, entries);
		forget_exec(thread);
		free(thread);
	}
	LIST_REMOVE(proc, entries);
	free(proc);
}

void
mark_inside(tracer_info *info, traced_proc *proc)
{
	if (!proc->inside) {
		proc->inside = true;
		info->inside_procs++;
	}
}
