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

static struct sock_filter exec_filter[] = {
	BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 6),
	BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, X86_64_EXECVE, 8, 0),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, X86_64_EXECVEAT, 7, 0),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, X32_EXECVE, 6, 0),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, X32_EXECVEAT, 5, 0),
	BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386, 0, 4),
	BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, I386_EXECVE, 1, 0),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, I386_EXECVEAT, 0, 1),
	BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE | LINUX_FILTER_TAG),
	BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
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
