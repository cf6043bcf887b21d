// The exec filter: a seccomp program that every traced task inherits and that
// stops it only where an exec call starts, of whichever ABI the task calls
// it in; what such a stop is; and the answer to a stop that another filter
// asked for.
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

#include <cerrno>
#include <cstddef>
#include <sched.h>
#include <unistd.h>

#include "tracer/platform-linux.h"

#ifndef __X32_SYSCALL_BIT
#define __X32_SYSCALL_BIT 0x40000000
#endif

// The exec calls, by ABI.  x32 calls are x86_64's with __X32_SYSCALL_BIT set;
// their execve and execveat have numbers of their own, which take arrays of
// 4-byte pointers.
#define X86_64_EXECVE 59
#define X86_64_EXECVEAT 322
#define X32_EXECVE (__X32_SYSCALL_BIT | 520)
#define X32_EXECVEAT (__X32_SYSCALL_BIT | 545)
#define I386_EXECVE 11
#define I386_EXECVEAT 358
// The calls that create tasks with flags a tracer must see.  x32 shares
// x86_64's.
#define X86_64_CLONE 56
#define X86_64_CLONE3 435
#define X32_CLONE (__X32_SYSCALL_BIT | X86_64_CLONE)
#define X32_CLONE3 (__X32_SYSCALL_BIT | X86_64_CLONE3)
#define I386_CLONE 120
#define I386_CLONE3 435

#define LOAD(what) BPF_STMT(BPF_LD | BPF_W | BPF_ABS, \
	offsetof(struct seccomp_data, what))
#define IF_NR(nr, to) BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, to, 0)
#define RET(action) BPF_STMT(BPF_RET | BPF_K, action)

// Where the jumps go, and the offset of a jump from instruction pc to there.
enum { L_I386 = 12, L_CLONE_FLAGS = 19, L_ENOSYS = 22, L_ALLOW = 23,
    L_EXEC = 24, N_FILTER };
#define TO(pc, label) ((label) - (pc) - 1)

// A task created with CLONE_UNTRACED would not be traced, yet would keep
// this filter, so that its every exec failed: such a clone stops, for the
// flag to be cleared.  clone3's flags are in memory, out of a filter's
// reach: it fails as on a kernel before 5.3 (libc then falls back to clone).
static struct sock_filter exec_filter[N_FILTER] = {
	/* 0 */ LOAD(arch),
	/* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0,
		    TO(1, L_I386)),
	/* 2 */ LOAD(nr),
	/* 3 */ IF_NR(X86_64_EXECVE, TO(3, L_EXEC)),
	/* 4 */ IF_NR(X86_64_EXECVEAT, TO(4, L_EXEC)),
	/* 5 */ IF_NR(X32_EXECVE, TO(5, L_EXEC)),
	/* 6 */ IF_NR(X32_EXECVEAT, TO(6, L_EXEC)),
	/* 7 */ IF_NR(X86_64_CLONE, TO(7, L_CLONE_FLAGS)),
	/* 8 */ IF_NR(X32_CLONE, TO(8, L_CLONE_FLAGS)),
	/* 9 */ IF_NR(X86_64_CLONE3, TO(9, L_ENOSYS)),
	/* 10 */ IF_NR(X32_CLONE3, TO(10, L_ENOSYS)),
	/* 11 */ RET(SECCOMP_RET_ALLOW),
	/* 12 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386, 0,
		    TO(12, L_ALLOW)),
	/* 13 */ LOAD(nr),
	/* 14 */ IF_NR(I386_EXECVE, TO(14, L_EXEC)),
	/* 15 */ IF_NR(I386_EXECVEAT, TO(15, L_EXEC)),
	/* 16 */ IF_NR(I386_CLONE, TO(16, L_CLONE_FLAGS)),
	/* 17 */ IF_NR(I386_CLONE3, TO(17, L_ENOSYS)),
	/* 18 */ RET(SECCOMP_RET_ALLOW),
	// The flags are clone's first argument, in the low half of its
	// word; an i386 call has no other.
	/* 19 */ LOAD(args[0]),
	/* 20 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_UNTRACED, 0,
		    TO(20, L_ALLOW)),
	/* 21 */ RET(SECCOMP_RET_TRACE | LINUX_CLONE_TAG),
	/* 22 */ RET(SECCOMP_RET_ERRNO | ENOSYS),
	/* 23 */ RET(SECCOMP_RET_ALLOW),
	/* 24 */ RET(SECCOMP_RET_TRACE | LINUX_FILTER_TAG),
};

const struct sock_fprog linux_exec_filter = {
	(unsigned short)(sizeof(exec_filter) / sizeof(exec_filter[0])),
	exec_filter
};

int
linux_install_filter(void)
{
	// Without privilege a filter needs no_new_privs, which also keeps
	// setuid programs from gaining privilege, as any tracer would.
	if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0,
	    &linux_exec_filter) == 0)
		return 0;
	if (errno != EACCES || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1)
		return -1;
	return (int)syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0,
	    &linux_exec_filter);
}

bool
linux_exec_call_of(uint32_t arch, uint64_t nr, const uint64_t *args,
    linux_exec_call *call)
{
	bool at;

	if (arch == AUDIT_ARCH_X86_64 &&
	    (nr == X86_64_EXECVE || nr == X86_64_EXECVEAT)) {
		call->ilp32 = false;
		at = nr == X86_64_EXECVEAT;
	} else if (arch == AUDIT_ARCH_X86_64 &&
	    (nr == X32_EXECVE || nr == X32_EXECVEAT)) {
		call->ilp32 = true;
		at = nr == X32_EXECVEAT;
	} else if (arch == AUDIT_ARCH_I386 &&
	    (nr == I386_EXECVE || nr == I386_EXECVEAT)) {
		call->ilp32 = true;
		at = nr == I386_EXECVEAT;
	} else
		return false;
	// execveat(dirfd, path, argv, envp, flags) carries execve's three
	// arguments one place further.
	for (int i = 0; i < 3; i++) {
		call->args[i] = args[at + i];
		// The kernel takes an i386 call's arguments from the low
		// halves of the registers.
		if (arch == AUDIT_ARCH_I386)
			call->args[i] &= 0xffffffff;
	}
	return true;
}

bool
linux_untraced_clone_of(uint32_t arch, uint64_t nr, const uint64_t *args)
{
	if (!(args[0] & CLONE_UNTRACED))
		return false;
	if (arch == AUDIT_ARCH_X86_64)
		return nr == X86_64_CLONE || nr == X32_CLONE;
	return arch == AUDIT_ARCH_I386 && nr == I386_CLONE;
}

int
linux_trace_clone(pid_t tid, uint32_t arch, uint64_t flags)
{
	// The flags are in rdi, or in ebx for an i386 call.
	size_t reg = arch == AUDIT_ARCH_I386 ? offsetof(struct user, regs.rbx) :
	    offsetof(struct user, regs.rdi);

	flags &= ~(uint64_t)CLONE_UNTRACED;
	return ptrace(PTRACE_POKEUSER, tid, reg, (long)flags) == -1 ? -1 : 0;
}

int
linux_fail_call(pid_t tid, int error)
{
	// Call number -1 skips the call; what is then in rax is its result.
	if (ptrace(PTRACE_POKEUSER, tid, offsetof(struct user, regs.orig_rax),
	    (long)-1) == -1 ||
	    ptrace(PTRACE_POKEUSER, tid, offsetof(struct user, regs.rax),
	    (long)-error) == -1)
		return -1;
	return 0;
}
