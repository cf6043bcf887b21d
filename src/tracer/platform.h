// The process-debugging and process-control calls the tracer makes, with
// FreeBSD's meaning and values.  The files of one platform implement them
// (platform-freebsd.cc; platform-linux*.cc); the build picks them.  Nothing
// else in the tracer includes a kernel header.
#ifndef CCTRACE_TRACER_PLATFORM_H
#define CCTRACE_TRACER_PLATFORM_H

#include <sys/types.h>
#include <sys/stat.h>

#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>

#if !defined(__FreeBSD__)
typedef int32_t lwpid_t;
#endif

// Flags of lwp_info.pl_flags, FreeBSD's PL_FLAG_* values.
inline constexpr int PL_FLAG_SCE = 0x4;	   // system-call entry
inline constexpr int PL_FLAG_SCX = 0x8;	   // system-call exit
inline constexpr int PL_FLAG_EXEC = 0x10;  // the exec succeeded
inline constexpr int PL_FLAG_CHILD = 0x80; // first stop of a new child
inline constexpr int PL_FLAG_BORN = 0x100; // first stop of a new thread
inline constexpr int PL_FLAG_EXITED = 0x200; // a thread is exiting

// The wait result is the system's siginfo_t (si_signo, si_code, si_pid,
// si_status); its CLD_* codes are POSIX's and the same on both systems.
static_assert(CLD_EXITED == 1 && CLD_KILLED == 2 && CLD_DUMPED == 3 &&
    CLD_TRAPPED == 4 && CLD_STOPPED == 5 && CLD_CONTINUED == 6);

// The fields of FreeBSD's struct ptrace_lwpinfo that the tracer reads.
struct lwp_info {
	lwpid_t pl_lwpid;
	int pl_flags;
	unsigned int pl_syscall_code;
	unsigned int pl_syscall_narg;
};

// The working directory of a stopped process, as its kernel reports it.
struct proc_cwd_info {
	dev_t dev;		// the directory's identity
	ino_t ino;
	char path[PATH_MAX];	// as the process names it; "" if unknown
	// Where the tool finds the process's working directory and its root
	// directory.  Both "" where the tool's own view of the file system
	// stands for the process's.
	char rel_prefix[40];
	char abs_prefix[40];
	// Whether the process has the tool's root and mount namespace, so
	// that the tool finds the files it names by those names.
	bool own_view;
};

// The strings proc_image_strings reads.
enum { PROC_IMAGE_ARGS, PROC_IMAGE_ENV };
// What the vectors of one exec may hold, as this system's kernel counts them:
// an exec past either limit fails with E2BIG.
struct exec_arg_limits {
	size_t string_max;	// one string, its NUL included
	size_t total_max;	// all strings of both vectors, with their pointers
	size_t pointer_cost;	// what each pointer counts towards total_max
};

// Size of the buffer for a process's ABI name.
#define SV_NAME_LEN 32

// ptrace(PT_TRACE_ME, 0, 0, 0), in the child before it execs.
int pt_trace_me(void);
// ptrace(PT_FOLLOW_FORK, pid, 0, 1); -1 on failure.
int pt_follow_fork(pid_t pid);
// ptrace(PT_LWP_EVENTS, pid, 0, 1); -1 on failure.
int pt_lwp_events(pid_t pid);
// ptrace(PT_GETNUMLWPS, pid, 0, 0): the number of LWPs, or -1.
int pt_getnumlwps(pid_t pid);
// ptrace(PT_GETLWPLIST, pid, list, n): at most n LWP ids; the count, or -1.
int pt_getlwplist(pid_t pid, lwpid_t *list, int n);
// ptrace(PT_LWPINFO, id, ...) for a pid or an LWP id; -1 on failure.
int pt_lwpinfo(lwpid_t id, lwp_info *info);
// ptrace(PT_GET_SC_ARGS, lwpid, args, n * 8): the arguments of the system
// call being entered, one 64-bit word each; 0 on success.
int pt_get_sc_args(lwpid_t lwpid, uint64_t *args, size_t n);
// ptrace(PT_IO, pid, {PIOD_READ_D, address, buffer, length}, 0); negative on
// failure.
int pt_read_d(pid_t pid, uint64_t address, void *buffer, size_t length);
// ptrace(PT_SYSCALL, pid, 1, sig): resume where stopped, delivering sig.
int pt_syscall(pid_t pid, int sig);
// ptrace(PT_DETACH, pid, address, sig): address 1 resumes where stopped,
// delivering sig.  Nothing of pid is reported afterwards (on Linux, where
// the exec filter cannot be taken off, it stays traced so that it can exec).
int pt_detach(pid_t pid, uintptr_t address, int sig);
// waitid(P_ALL, 0, si, WTRAPPED | WEXITED): one trap stop or exit of a traced
// process; -1 with errno (EINTR when interrupted, ECHILD when the tool has
// no child left).
int wait_traced(siginfo_t *si);
// sysctl kern.proc.sv_name of pid into name[SV_NAME_LEN]; non-zero on failure.
int proc_sv_name(pid_t pid, char *name, size_t len);
// Whether the stop signal sig, reported for traced process pid, must be
// delivered untraced to stop it: 1 if so, 0 if not, -1 on failure.  FreeBSD
// ignores stop signals in a traced process, which is besides its tracer's
// child while traced, so neither it nor its parent's wait would ever see the
// stop.  1 when the process neither catches nor ignores sig and no SIGCONT
// is pending to undo it (sysctl kern.proc.pid).
int proc_stop_needs_detach(pid_t pid, int sig);
// sysctl kern.proc.cwd of pid, whose thread lwpid is stopped; -1 where the
// kernel cannot or will not say (the process is gone, or is not the tool's
// to inspect).
int proc_cwd(pid_t pid, lwpid_t lwpid, proc_cwd_info *cwd);
// sysctl kern.proc.args (PROC_IMAGE_ARGS) or kern.proc.env (PROC_IMAGE_ENV)
// of pid, stopped where its exec has succeeded: the argument or environment
// strings the kernel copied for the new image, one after another with their
// NULs, in a malloc'd buffer of *len bytes; nullptr on failure.
char *proc_image_strings(pid_t pid, int which, size_t *len);
// The process that created pid, its parent and not its tracer (sysctl
// kern.proc.pid's ki_ppid), asked at pid's first stop; -1 if unknown.
pid_t proc_parent(pid_t pid);
// stat(2) of path, an absolute path of the process whose working directory
// proc_cwd gave as cwd, as that process sees it: inside the root it may have
// changed to, the targets of absolute symbolic links too.  -1 with errno.
int proc_stat(const proc_cwd_info *cwd, const char *path, struct stat *sb);

// This system's exec_arg_limits.
const exec_arg_limits *proc_exec_limits(void);

// vfork(): 0 in the child, the child's pid in the parent, -1 on failure.
// Where it is a real vfork the caller must know that it returns twice.
#if defined(__FreeBSD__)
__attribute__((returns_twice))
#endif
pid_t proc_vfork(void);
// waitpid(pid, NULL, 0): returns once the child has stopped after its exec
// or has ended.
pid_t proc_waitpid(pid_t pid);
// kill(pid, sig).
int proc_kill(pid_t pid, int sig);

#endif
