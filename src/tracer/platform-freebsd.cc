// The platform calls on FreeBSD: each one request of the kernel's own
// process-debugging interface.
#include "tracer/platform.h"

// Our flag values, taken before <sys/ptrace.h> turns these names into its
// own macros, so that they can be checked against the kernel's below.
static constexpr int our_pl_flag_sce = PL_FLAG_SCE;
static constexpr int our_pl_flag_scx = PL_FLAG_SCX;
static constexpr int our_pl_flag_exec = PL_FLAG_EXEC;
static constexpr int our_pl_flag_child = PL_FLAG_CHILD;
static constexpr int our_pl_flag_born = PL_FLAG_BORN;
static constexpr int our_pl_flag_exited = PL_FLAG_EXITED;

#include <sys/types.h>
#include <sys/ptrace.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <sys/wait.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static_assert(our_pl_flag_sce == PL_FLAG_SCE);
static_assert(our_pl_flag_scx == PL_FLAG_SCX);
static_assert(our_pl_flag_exec == PL_FLAG_EXEC);
static_assert(our_pl_flag_child == PL_FLAG_CHILD);
static_assert(our_pl_flag_born == PL_FLAG_BORN);
static_assert(our_pl_flag_exited == PL_FLAG_EXITED);
// PT_GET_SC_ARGS hands out machine words; ours are 64-bit, so the caller's
// words take them directly.
static_assert(sizeof(register_t) == sizeof(uint64_t));
// The record PT_LWPINFO fills is told to the kernel by its size, which is
// the kernel's: amd64's record of FreeBSD 12 and later.
static_assert(sizeof(struct ptrace_lwpinfo) == 160);

int
pt_trace_me(void)
{
	return ptrace(PT_TRACE_ME, 0, 0, 0);
}

int
pt_follow_fork(pid_t pid)
{
	return ptrace(PT_FOLLOW_FORK, pid, 0, 1);
}

int
pt_lwp_events(pid_t pid)
{
	return ptrace(PT_LWP_EVENTS, pid, 0, 1);
}

int
pt_getnumlwps(pid_t pid)
{
	return ptrace(PT_GETNUMLWPS, pid, 0, 0);
}

int
pt_getlwplist(pid_t pid, lwpid_t *list, int n)
{
	return ptrace(PT_GETLWPLIST, pid, (caddr_t)list, n);
}

// The exec calls of each ABI, by the numbers pl_syscall_code gives: FreeBSD's
// own (the same in its 32-bit ABI), and those of Linux programs under
// emulation.  Each is reported as execve, 59, with execve's arguments.
#define FREEBSD_EXECVE 59
#define FREEBSD_FEXECVE 492
#define LINUX64_EXECVE 59
#define LINUX64_EXECVEAT 322
#define LINUX32_EXECVE 11
#define LINUX32_EXECVEAT 358
// The code of a call numbered 59 that is no exec in its ABI (Linux i386's
// oldolduname): one that no ABI uses.
#define NOT_AN_EXEC UINT_MAX

// The LWP whose last system-call entry was an exec call whose arguments
// start one place further than execve's (execveat), or -1.
static lwpid_t shifted_lwp = -1;

// Makes pl, at a system-call entry of process or LWP id, report an exec call
// of any ABI as execve.  The ABI is asked for only where the call's number
// is one of an exec call in some ABI.
static void
map_exec_call(lwpid_t id, struct ptrace_lwpinfo *pl)
{
	unsigned int code = pl->pl_syscall_code;
	char abi[SV_NAME_LEN];
	bool exec = false;
	int shift = 0;

	shifted_lwp = -1;
	if (!(pl->pl_flags & PL_FLAG_SCE))
		return;
	switch (code) {
	case FREEBSD_EXECVE:	// and LINUX64_EXECVE
	case FREEBSD_FEXECVE:
	case LINUX64_EXECVEAT:
	case LINUX32_EXECVE:
	case LINUX32_EXECVEAT:
		break;
	default:
		return;
	}
	// By an LWP id too: the kernel finds the process of a thread.
	if (proc_sv_name(id, abi, sizeof(abi)) != 0)
		return;
	if (strncmp(abi, "FreeBSD ", 8) == 0)
		exec = code == FREEBSD_EXECVE || code == FREEBSD_FEXECVE;
	else if (strcmp(abi, "Linux ELF64") == 0) {
		exec = code == LINUX64_EXECVE || code == LINUX64_EXECVEAT;
		shift = code == LINUX64_EXECVEAT;
	} else if (strcmp(abi, "Linux ELF32") == 0) {
		exec = code == LINUX32_EXECVE || code == LINUX32_EXECVEAT;
		shift = code == LINUX32_EXECVEAT;
	}
	if (!exec) {
		if (code == FREEBSD_EXECVE)
			pl->pl_syscall_code = NOT_AN_EXEC;
		return;
	}
	pl->pl_syscall_code = FREEBSD_EXECVE;
	pl->pl_syscall_narg = 3;
	if (shift)
		shifted_lwp = pl->pl_lwpid;
}

int
pt_lwpinfo(lwpid_t id, lwp_info *info)
{
	struct ptrace_lwpinfo pl;

	if (ptrace(PT_LWPINFO, id, (caddr_t)&pl, sizeof(pl)) == -1)
		return -1;
	map_exec_call(id, &pl);
	info->pl_lwpid = pl.pl_lwpid;
	info->pl_flags = pl.pl_flags;
	info->pl_syscall_code = pl.pl_syscall_code;
	info->pl_syscall_narg = pl.pl_syscall_narg;
	return 0;
}

int
pt_get_sc_args(lwpid_t lwpid, uint64_t *args, size_t n)
{
	register_t words[4];

	if (lwpid != shifted_lwp)
		return ptrace(PT_GET_SC_ARGS, lwpid, (caddr_t)args,
		    (int)(n * sizeof(register_t)));
	// execveat(dirfd, path, argv, envp, flags): execve's are words 1-3.
	if (n > 3)
		n = 3;
	if (ptrace(PT_GET_SC_ARGS, lwpid, (caddr_t)words,
	    (int)((n + 1) * sizeof(register_t))) != 0)
		return -1;
	memcpy(args, words + 1, n * sizeof(register_t));
	return 0;
}

int
pt_read_d(pid_t pid, uint64_t address, void *buffer, size_t length)
{
	struct ptrace_io_desc piod;

	piod.piod_op = PIOD_READ_D;
	piod.piod_offs = (void *)(uintptr_t)address;
	piod.piod_addr = buffer;
	piod.piod_len = length;
	return ptrace(PT_IO, pid, (caddr_t)&piod, 0);
}

int
pt_syscall(pid_t pid, int sig)
{
	return ptrace(PT_SYSCALL, pid, (caddr_t)1, sig);
}

int
pt_detach(pid_t pid, uintptr_t address, int sig)
{
	return ptrace(PT_DETACH, pid, (caddr_t)address, sig);
}

int
wait_traced(siginfo_t *si)
{
	return waitid(P_ALL, 0, si, WTRAPPED | WEXITED);
}

int
proc_sv_name(pid_t pid, char *name, size_t len)
{
	int mib[4] = { CTL_KERN, KERN_PROC, KERN_PROC_SV_NAME, (int)pid };

	return sysctl(mib, 4, name, &len, nullptr, 0);
}

// sysctl kern.proc.pid of pid into *kp; -1 with errno.
static int
proc_info(pid_t pid, struct kinfo_proc *kp)
{
	int mib[4] = { CTL_KERN, KERN_PROC, KERN_PROC_PID, (int)pid };
	size_t len = sizeof(*kp);

	if (sysctl(mib, 4, kp, &len, nullptr, 0) == -1)
		return -1;
	if (len != sizeof(*kp)) {
		errno = ESRCH;
		return -1;
	}
	return 0;
}

int
proc_stop_needs_detach(pid_t pid, int sig)
{
	struct kinfo_proc kp;

	if (proc_info(pid, &kp) == -1)
		return -1;
	if (sigismember(&kp.ki_sigcatch, sig) ||
	    sigismember(&kp.ki_sigignore, sig) ||
	    sigismember(&kp.ki_siglist, SIGCONT))
		return 0;
	return 1;
}

int
proc_cwd(pid_t pid, lwpid_t, proc_cwd_info *cwd)
{
	int mib[4] = { CTL_KERN, KERN_PROC, KERN_PROC_CWD, (int)pid };
	struct kinfo_file kf;
	size_t len = sizeof(kf);

	// The record may come packed down to its path: what is not sent
	// reads as zero, and a path the kernel could not find as "".
	memset(&kf, 0, sizeof(kf));
	if (sysctl(mib, 4, &kf, &len, nullptr, 0) != 0 ||
	    len < offsetof(struct kinfo_file, kf_path))
		return -1;
	cwd->dev = (dev_t)kf.kf_un.kf_file.kf_file_fsid;
	cwd->ino = (ino_t)kf.kf_un.kf_file.kf_file_fileid;
	snprintf(cwd->path, sizeof(cwd->path), "%.*s",
	    (int)sizeof(kf.kf_path), kf.kf_path);
	// The tool's own view of the file system stands for the process's.
	cwd->rel_prefix[0] = '\0';
	cwd->abs_prefix[0] = '\0';
	cwd->own_view = true;
	return 0;
}

char *
proc_image_strings(pid_t pid, int which, size_t *len)
{
	int mib[4] = { CTL_KERN, KERN_PROC,
	    which == PROC_IMAGE_ARGS ? KERN_PROC_ARGS : KERN_PROC_ENV,
	    (int)pid };
	size_t size;

	// Asked for its size first: the strings of an exec may fill ARG_MAX.
	if (sysctl(mib, 4, nullptr, &size, nullptr, 0) == -1)
		return nullptr;
	for (int tries = 0; tries < 4; tries++) {
		char *buf;

		size += 4096;
		if ((buf = static_cast<char *>(malloc(size))) == nullptr)
			return nullptr;
		*len = size;
		if (sysctl(mib, 4, buf, len, nullptr, 0) == 0)
			return buf;
		free(buf);
		if (errno != ENOMEM)
			return nullptr;
		size *= 2;
	}
	return nullptr;
}

pid_t
proc_parent(pid_t pid)
{
	struct kinfo_proc kp;

	return proc_info(pid, &kp) == -1 ? -1 : kp.ki_ppid;
}

int
proc_stat(const proc_cwd_info *, const char *path, struct stat *sb)
{
	return stat(path, sb);
}

// The strings of both vectors share ARG_MAX bytes (512 KiB on amd64), for
// every ABI; pointers do not count.
const exec_arg_limits *
proc_exec_limits(void)
{
	static const exec_arg_limits limits = { ARG_MAX, ARG_MAX, 0 };

	return &limits;
}

pid_t
proc_vfork(void)
{
	// The child of vfork borrows our stack until it execs, so it must not
	// return through a frame of ours: jump to vfork instead of calling it.
#if __has_cpp_attribute(clang::musttail)
	[[clang::musttail]] return vfork();
#else
	return fork();
#endif
}

pid_t
proc_waitpid(pid_t pid)
{
	return waitpid(pid, nullptr, 0);
}

int
proc_kill(pid_t pid, int sig)
{
	return kill(pid, sig);
}
