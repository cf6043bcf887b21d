// The exec filter: a seccomp program that every traced task inherits and that
// stops it only where an exec call starts; and the answer to a stop that
// another filter asked for.
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

#define X86_64_EXECVE 59
#define X86_64_EXECVEAT 322

static struct sock_filter exec_filter[] = {
	BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 4),
	BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, X86_64_EXECVE, 1, 0),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, X86_64_EXECVEAT, 0, 1),
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
