// The tracer: its state, the registry of traced processes and threads, ABI
// identification, launch and attach, and the event loop.
#ifndef CCTRACE_TRACER_TRACER_H
#define CCTRACE_TRACER_TRACER_H

#include <sys/queue.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "tracer/platform.h"

struct compile_entry;
struct cJSON;

struct abi_desc {
	const char *type_name;
	size_t pointer_size;
	const char *compat_prefix;
};

struct abi_table_row {
	const char *sv_name;
	const abi_desc *abi;
};

extern const abi_table_row abi_table[];
extern const size_t abi_table_len;

struct traced_proc;

// What a thread knows of the exec it has entered until the exec's end tells
// whether it succeeded (compdb/capture.cc); all zero for none.
struct exec_state {
	bool entered;		// its entry was seen (some execs come without)
	bool inside;		// it starts a compiler or a wrapper by --all's
				// names: its process is then inside a compile
	bool own_view;		// the tool finds the entries' files by name
	int first;		// the index of the compiler in pending's
				// arguments: 1 after a wrapper
	unsigned notice;	// 1 + the index of its program among those the
				// notice counts, or 0
	cJSON *more_files;	// the files of the sources after pending's
	char *output;		// what a command with one source names as
				// its output
};

struct traced_thread {
	LIST_ENTRY(traced_thread) entries;
	traced_proc *proc;
	lwpid_t lwpid;
	// The compile command of an execve this thread has entered, written
	// out only when that exec succeeds: the entry of its first source.
	// For a compiler's exec that is no compile (yet), its arguments
	// alone.
	compile_entry *pending;
	exec_state exec;
};

struct traced_proc {
	LIST_ENTRY(traced_proc) entries;
	pid_t pid;
	const abi_desc *abi;
	LIST_HEAD(, traced_thread) threadlist;
	// Started by a compiler or a wrapper, or by a process so started: its
	// programs are the compiler's own helpers, never the build's
	// compiles.  Inherited by the processes it creates.
	bool inside;
};

struct tracer_info {
	FILE *out;
	traced_thread *curthread;
	LIST_HEAD(, traced_proc) proclist;
	// The started command: the tool's own child.
	pid_t command;
	// The registered processes marked inside a compile: only while there
	// are some is a new process asked for its parent.
	unsigned inside_procs;
};

// Registry.
traced_thread *register_thread(traced_proc *proc, lwpid_t lwpid);
traced_proc *lookup_proc(tracer_info *info, pid_t pid);
traced_thread *lookup_thread(traced_proc *proc, lwpid_t lwpid);
void find_thread(tracer_info *info, pid_t pid, lwpid_t lwpid);
void release_thread(traced_thread *thread);
void release_proc(traced_proc *proc);
// Marks proc inside a compile.
void mark_inside(tracer_info *info, traced_proc *proc);

// ABI identification.
const abi_desc *identify_abi(pid_t pid);

// Launch and attach.
void launch_traced(tracer_info *info, char *const argv[]);
void register_proc(tracer_info *info, pid_t pid, lwpid_t lwpid);
void add_threads(tracer_info *info, traced_proc *proc);

// Event loop.
void mainloop(tracer_info *info);
void exit_syscall(tracer_info *info, const lwp_info *lwpinfo);

#endif
