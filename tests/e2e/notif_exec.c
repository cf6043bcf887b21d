/*
 * notif_exec CMD [ARG ...]: hands every execve of CMD and its descendants
 * to a supervisor of its own with a seccomp filter's SECCOMP_RET_USER_NOTIF,
 * which outranks a tracer's SECCOMP_RET_TRACE; a thread of this process
 * lets each call go on (SECCOMP_USER_NOTIF_FLAG_CONTINUE).  Runs CMD in a
 * child and exits with its status; 3 where the kernel has no such
 * supervisors.
 */
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

static void *
supervise(void *arg)
{
	int fd = *(int *)arg;

	for (;;) {
		struct seccomp_notif req;
		struct seccomp_notif_resp resp;

		memset(&req, 0, sizeof(req));
		if (ioctl(fd, SECCOMP_IOCTL_NOTIF_RECV, &req) == -1) {
			if (errno == EINTR || errno == ENOENT)
				continue;
			perror("notif_exec: SECCOMP_IOCTL_NOTIF_RECV");
			_exit(1);
		}
		memset(&resp, 0, sizeof(resp));
		resp.id = req.id;
		resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
		/* The caller may have gone meanwhile (ENOENT). */
		ioctl(fd, SECCOMP_IOCTL_NOTIF_SEND, &resp);
	}
	return NULL;
}

int
main(int argc, char *argv[])
{
	struct sock_filter filter[] = {
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
		    offsetof(struct seccomp_data, arch)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 3),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
		    offsetof(struct seccomp_data, nr)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_execve, 0, 1),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	struct sock_fprog prog = {
		(unsigned short)(sizeof(filter) / sizeof(filter[0])), filter
	};
	pthread_t t;
	int fd, st;
	pid_t pid;

	if (argc < 2)
		return 2;
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
		return 1;
	fd = (int)syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
	    SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
	if (fd == -1) {
		perror("notif_exec: seccomp");
		return 3;
	}
	if (pthread_create(&t, NULL, supervise, &fd) != 0)
		return 1;
	if ((pid = fork()) == -1)
		return 1;
	if (pid == 0) {
		execvp(argv[1], argv + 1);
		perror("notif_exec: execvp");
		_exit(127);
	}
	if (waitpid(pid, &st, 0) != pid)
		return 1;
	return WIFEXITED(st) ? WEXITSTATUS(st) : 1;
}
