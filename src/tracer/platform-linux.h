// The Linux backend's files and what they give each other: the exec filter
// (platform-linux-seccomp.cc), what /proc tells (platform-linux-proc.cc), the
// reports made of Linux stops (platform-linux-stops.cc) and the calls of
// platform.h made from them (platform-linux.cc).  Nothing outside these files
// includes this header.
#ifndef CCTRACE_TRACER_PLATFORM_LINUX_H
#define CCTRACE_TRACER_PLATFORM_LINUX_H

#include <sys/ptrace.h>
#include <sys/types.h>

#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>

#include "tracer/platform.h"

// The call number FreeBSD gives execve; every exec call is reported as it.
#define LINUX_REPORTED_EXECVE 59

// --- The exec filter ---------------------------------------------------

// The data of the filter's SECCOMP_RET_TRACE, for an exec and for a clone
// that asks for CLONE_UNTRACED.  A seccomp stop that carries anything else
// comes from a filter the traced program installed itself.
#define LINUX_FILTER_TAG 0x6363
#define LINUX_CLONE_TAG 0x6375

// An exec call stopped at its entry, as execve(path, argv, envp).
struct linux_exec_call {
	uint64_t args[3];
	bool ilp32;	// an i386 or x32 call: its pointers are 4 bytes
};

// Stops every exec call of the x86_64, i386 and x32 ABIs with
// SECCOMP_RET_TRACE | LINUX_FILTER_TAG, and every clone call whose flags hold
// CLONE_UNTRACED with SECCOMP_RET_TRACE | LINUX_CLONE_TAG; fails clone3 with
// ENOSYS; allows every other call.
extern const struct sock_fprog linux_exec_filter;

// Installs linux_exec_filter in the calling process; -1 with errno.
int linux_install_filter(void);
// Whether call nr of ABI arch (an AUDIT_ARCH_* value) with the arguments
// args[6] is an exec call the filter stops; if so fills *call.
bool linux_exec_call_of(uint32_t arch, uint64_t nr, const uint64_t *args,
    linux_exec_call *call);
// Whether call nr of ABI arch with the arguments args[6] is a clone that
// asks for CLONE_UNTRACED.
bool linux_untraced_clone_of(uint32_t arch, uint64_t nr, const uint64_t *args);
// Takes CLONE_UNTRACED out of flags, the first argument of the clone call of
// ABI arch that tid is stopped at the entry of; -1 with errno.
int linux_trace_clone(pid_t tid, uint32_t arch, uint64_t flags);
// Makes the call tid is stopped at the entry of fail with error, without
// running it; -1 with errno.
int linux_fail_call(pid_t tid, int error);

// --- /proc -------------------------------------------------------------

// Ends the tool unless /proc is that of the tool's own pid namespace.
void linux_check_proc(void);
// The thread group of task tid, which is stopped, and in *ppid the process
// that created it (its parent, not its tracer); ends the tool if /proc
// cannot tell them.
pid_t linux_tgid(pid_t tid, pid_t *ppid);
// The working directory of stopped task tid, as proc_cwd gives it; -1 if
// the task has none the tool may see.
int linux_cwd(pid_t tid, proc_cwd_info *cwd);
// stat(2) of the absolute path inside the root of the task whose working
// directory linux_cwd gave as cwd, as proc_stat does.
int linux_stat_in_root(const proc_cwd_info *cwd, const char *path,
    struct stat *sb);
// The ABI of the program that task tid runs, from the ELF header of
// /proc/TID/exe, named as FreeBSD names Linux programs; -1 with errno.
int linux_exe_abi(pid_t tid, char *name, size_t len);

// --- Reports -----------------------------------------------------------

// A traced task.  The tracer knows it by its process and an LWP id; the
// kernel's id for it changes when a thread other than the leader execs and
// takes the process id.
struct linux_task {
	pid_t tid;
	pid_t pid;
	lwpid_t lwpid;
	pid_t ppid;		// a process's parent, at its first stop
	bool in_exec;		// entered an exec, resumed to see its end
	// Of a process the tracer has let go: kept traced only so that its
	// execs run, and never reported.
	bool quiet;
	linux_exec_call call;
};

// One report for the tracer's wait, and how to resume what it reports.
struct linux_report {
	int si_code;
	pid_t pid;
	int status;
	lwp_info lwp;
	pid_t resume_tid;	// 0: nothing is stopped behind this report
	enum __ptrace_request resume_request;
	linux_exec_call call;	// of an exec entry or end
};

// Every task the tracer knows, by the kernel's id.
extern std::unordered_map<pid_t, linux_task> linux_tasks;
// Reports not yet handed to the tracer, oldest first.
extern std::deque<linux_report> linux_reports;
// The report being handled; valid until it is resumed.
extern linux_report linux_cur;

bool linux_process_known(pid_t pid);

#endif
