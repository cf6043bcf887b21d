/*
 * own_filter getppid|execve CMD [ARG ...]: installs a seccomp filter of its
 * own that returns SECCOMP_RET_TRACE for the named x86_64 call, makes the
 * call (execve: execvp of CMD) and prints its result, as "getppid -1 ENOSYS"
 * or "getppid ok"; after getppid, it then execs CMD.  Without a tracer that
 * asked for such stops the call fails with ENOSYS.
 */
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

static void
print_result(const char *call, long r)
{
	if (r == -1)
		printf("%s -1 %s\n", call,
		    errno == ENOSYS ? "ENOSYS" : strerror(errno));
	else
		printf("%s ok\n", call);
	fflush(stdout);
}

int
main(int argc, char *argv[])
{
	int execve_mode;

	if (argc < 3)
		return 2;
	execve_mode = strcmp(argv[1], "execve") == 0;
	struct sock_filter filter[] = {
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
		    offsetof(struct seccomp_data, arch)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 3),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
		    offsetof(struct seccomp_data, nr)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K,
		    execve_mode ? SYS_execve : SYS_getppid, 0, 1),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	struct sock_fprog prog = {
		(unsigned short)(sizeof(filter) / sizeof(filter[0])), filter
	};

	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
	    syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0) {
		perror("own_filter: seccomp");
		return 1;
	}
	if (!execve_mode)
		print_result("getppid", syscall(SYS_getppid));
	execvp(argv[2], argv + 2);
	print_result("execve", -1);
	return 0;
}
