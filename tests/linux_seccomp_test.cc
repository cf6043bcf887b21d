// The Linux backend's exec filter, as data: which (ABI, call) pairs its
// program stops, run through an interpreter of the instructions a seccomp
// filter is made of; what the backend makes of such a stop; and the kernel's
// own verdict on the program, installed in a child.  This kernel cannot run
// i386 or x32 code, so those ABIs are tested here and not by tracing.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <pthread.h>
#include <sys/wait.h>

#include <linux/audit.h>
#include <linux/sched.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "tracer/platform-linux.h"

namespace {

constexpr uint64_t X32 = 0x40000000;	// __X32_SYSCALL_BIT

// Runs prog on d as the kernel would; the test fails on an instruction
// other than those the filter is made of, or on a jump out of it.
uint32_t
run_filter(const sock_fprog &prog, const seccomp_data &d)
{
	uint32_t a = 0;

	for (size_t pc = 0; pc < prog.len; pc++) {
		const sock_filter &in = prog.filter[pc];

		switch (in.code) {
		case BPF_LD | BPF_W | BPF_ABS:
			if (in.k % 4 != 0 || in.k + 4 > sizeof(d)) {
				ADD_FAILURE() << pc << ": load at " << in.k;
				return 0;
			}
			memcpy(&a, reinterpret_cast<const char *>(&d) + in.k,
			    4);
			break;
		case BPF_JMP | BPF_JEQ | BPF_K:
			pc += a == in.k ? in.jt : in.jf;
			break;
		case BPF_JMP | BPF_JSET | BPF_K:
			pc += (a & in.k) != 0 ? in.jt : in.jf;
			break;
		case BPF_RET | BPF_K:
			return in.k;
		default:
			ADD_FAILURE() << pc << ": code " << in.code;
			return 0;
		}
	}
	ADD_FAILURE() << "the program runs off its end";
	return 0;
}

TEST(linux_seccomp, FilterStopsTheExecCallsOfEveryX86Abi)
{
	struct {
		uint32_t arch;
		uint64_t nr;
		bool exec;
		bool ilp32;
		int first;	// the index of the path argument
	} cases[] = {
		{ AUDIT_ARCH_X86_64, 59, true, false, 0 },	// execve
		{ AUDIT_ARCH_X86_64, 322, true, false, 1 },	// execveat
		{ AUDIT_ARCH_X86_64, X32 | 520, true, true, 0 },
		{ AUDIT_ARCH_X86_64, X32 | 545, true, true, 1 },
		{ AUDIT_ARCH_I386, 11, true, true, 0 },
		{ AUDIT_ARCH_I386, 358, true, true, 1 },
		// fork, clone, vfork, read and the like run untouched.
		{ AUDIT_ARCH_X86_64, 0, false, false, 0 },
		{ AUDIT_ARCH_X86_64, 56, false, false, 0 },
		{ AUDIT_ARCH_X86_64, 57, false, false, 0 },
		{ AUDIT_ARCH_X86_64, 58, false, false, 0 },
		// The numbers of one ABI's execs mean other calls in another.
		{ AUDIT_ARCH_X86_64, 11, false, false, 0 },
		{ AUDIT_ARCH_X86_64, 358, false, false, 0 },
		{ AUDIT_ARCH_X86_64, 520, false, false, 0 },
		{ AUDIT_ARCH_X86_64, 545, false, false, 0 },
		{ AUDIT_ARCH_X86_64, X32 | 59, false, false, 0 },
		{ AUDIT_ARCH_X86_64, X32 | 322, false, false, 0 },
		{ AUDIT_ARCH_I386, 59, false, false, 0 },
		{ AUDIT_ARCH_I386, 322, false, false, 0 },
		{ AUDIT_ARCH_I386, X32 | 520, false, false, 0 },
		{ AUDIT_ARCH_I386, 2, false, false, 0 },
		// Other architectures: not this kernel's.
		{ AUDIT_ARCH_AARCH64, 221, false, false, 0 },
		{ AUDIT_ARCH_AARCH64, 59, false, false, 0 },
	};
	// High halves set, which an i386 call does not use.
	const uint64_t args[6] = { 0xaaaa000000000010, 0xaaaa000000000020,
	    0xaaaa000000000030, 0xaaaa000000000040, 0xaaaa000000000050,
	    0xaaaa000000000060 };

	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "arch 0x" << std::hex
		    << c.arch << " nr 0x" << c.nr);
		seccomp_data d = {};
		linux_exec_call call = {};

		d.arch = c.arch;
		d.nr = (int)c.nr;
		EXPECT_EQ(run_filter(linux_exec_filter, d), c.exec ?
		    SECCOMP_RET_TRACE | LINUX_FILTER_TAG : SECCOMP_RET_ALLOW);
		ASSERT_EQ(linux_exec_call_of(c.arch, c.nr, args, &call),
		    c.exec);
		if (!c.exec)
			continue;
		EXPECT_EQ(call.ilp32, c.ilp32);
		for (int i = 0; i < 3; i++) {
			uint64_t want = args[c.first + i];

			if (c.arch == AUDIT_ARCH_I386)
				want &= 0xffffffff;
			EXPECT_EQ(call.args[i], want) << i;
		}
	}
	// The tag fits the data a SECCOMP_RET_TRACE carries.
	EXPECT_EQ(LINUX_FILTER_TAG & ~SECCOMP_RET_DATA, 0);
}

// A clone that asks for CLONE_UNTRACED stops, for the flag to be taken out;
// clone3, whose flags the filter cannot read, fails as on an older kernel.
TEST(linux_seccomp, FilterStopsUntracedClonesAndFailsClone3)
{
	const uint64_t untraced = CLONE_UNTRACED;
	const uint32_t trace = SECCOMP_RET_TRACE | LINUX_CLONE_TAG;
	const uint32_t enosys = SECCOMP_RET_ERRNO | ENOSYS;
	struct {
		uint32_t arch;
		uint64_t nr;
		uint64_t flags;
		uint32_t action;
	} cases[] = {
		{ AUDIT_ARCH_X86_64, 56, SIGCHLD, SECCOMP_RET_ALLOW },
		{ AUDIT_ARCH_X86_64, 56, untraced | SIGCHLD, trace },
		{ AUDIT_ARCH_X86_64, 56, untraced | CLONE_VM | CLONE_VFORK,
		    trace },
		// clone reads only the low half of its flags' word.
		{ AUDIT_ARCH_X86_64, 56, untraced << 32, SECCOMP_RET_ALLOW },
		{ AUDIT_ARCH_X86_64, X32 | 56, untraced, trace },
		{ AUDIT_ARCH_I386, 120, untraced | SIGCHLD, trace },
		{ AUDIT_ARCH_I386, 120, CLONE_THREAD, SECCOMP_RET_ALLOW },
		// Other ABIs' clone numbers, fork and vfork.
		{ AUDIT_ARCH_X86_64, 120, untraced, SECCOMP_RET_ALLOW },
		{ AUDIT_ARCH_I386, 56, untraced, SECCOMP_RET_ALLOW },
		{ AUDIT_ARCH_X86_64, 57, untraced, SECCOMP_RET_ALLOW },
		{ AUDIT_ARCH_X86_64, 58, untraced, SECCOMP_RET_ALLOW },
		{ AUDIT_ARCH_X86_64, 435, 0, enosys },
		{ AUDIT_ARCH_X86_64, X32 | 435, 0, enosys },
		{ AUDIT_ARCH_I386, 435, 0, enosys },
		{ AUDIT_ARCH_AARCH64, 220, untraced, SECCOMP_RET_ALLOW },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "arch 0x" << std::hex
		    << c.arch << " nr 0x" << c.nr << " flags 0x" << c.flags);
		seccomp_data d = {};
		uint64_t args[6] = { c.flags };

		d.arch = c.arch;
		d.nr = (int)c.nr;
		d.args[0] = c.flags;
		EXPECT_EQ(run_filter(linux_exec_filter, d), c.action);
		EXPECT_EQ(linux_untraced_clone_of(c.arch, c.nr, args),
		    c.action == trace);
	}
	EXPECT_EQ(LINUX_CLONE_TAG & ~SECCOMP_RET_DATA, 0);
	EXPECT_NE(LINUX_CLONE_TAG, LINUX_FILTER_TAG);
}

// Installed in a child that nothing traces, the program is accepted and
// makes execve and execveat fail with ENOSYS, and nothing else.
TEST(linux_seccomp, KernelTakesTheFilterAndStopsOnlyExecs)
{
	enum { OK, NO_SECCOMP, RAN_EXECVE, RAN_EXECVEAT, OTHER_FAILED };
	pid_t pid;
	int st;

	pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		char *const argv[] = { const_cast<char *>("true"), nullptr };
		char *const envp[] = { nullptr };

		if (linux_install_filter() != 0)
			_exit(NO_SECCOMP);
		if (syscall(SYS_execve, "/bin/true", argv, envp) != -1 ||
		    errno != ENOSYS)
			_exit(RAN_EXECVE);
		if (syscall(SYS_execveat, AT_FDCWD, "/bin/true", argv, envp,
		    0) != -1 || errno != ENOSYS)
			_exit(RAN_EXECVEAT);
		if (getppid() == -1 || syscall(SYS_getpid) != getpid() ||
		    close(dup(0)) != 0)
			_exit(OTHER_FAILED);
		_exit(OK);
	}
	ASSERT_EQ(waitpid(pid, &st, 0), pid);
	ASSERT_TRUE(WIFEXITED(st));
	if (WEXITSTATUS(st) == NO_SECCOMP)
		GTEST_SKIP() << "seccomp filters are not available here";
	EXPECT_EQ(WEXITSTATUS(st), OK);
}

// The kernel's verdict on task creation under the filter, with no tracer:
// clone3 fails with ENOSYS, libc falls back to clone for its threads and
// children, and a clone that asks for CLONE_UNTRACED stops for a tracer,
// here missing, so it fails as well.
TEST(linux_seccomp, KernelFailsClone3AndLibcFallsBack)
{
	enum { OK, NO_SECCOMP, RAN_CLONE3, NO_THREAD, NO_FORK, RAN_UNTRACED };
	pid_t pid;
	int st;

	pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		struct clone_args args = {};
		pthread_t thread;
		pid_t child;

		args.exit_signal = SIGCHLD;
		if (linux_install_filter() != 0)
			_exit(NO_SECCOMP);
		child = (pid_t)syscall(SYS_clone3, &args, sizeof(args));
		if (child == 0)
			_exit(0);
		if (child != -1 || errno != ENOSYS)
			_exit(RAN_CLONE3);
		if (pthread_create(&thread, nullptr, [](void *) -> void * {
		    return nullptr; }, nullptr) != 0 ||
		    pthread_join(thread, nullptr) != 0)
			_exit(NO_THREAD);
		if ((child = fork()) == 0)
			_exit(0);
		if (child == -1 || waitpid(child, &st, 0) != child)
			_exit(NO_FORK);
		child = (pid_t)syscall(SYS_clone, CLONE_UNTRACED | SIGCHLD, 0,
		    0, 0, 0);
		if (child == 0)
			_exit(0);
		if (child != -1 || errno != ENOSYS)
			_exit(RAN_UNTRACED);
		_exit(OK);
	}
	ASSERT_EQ(waitpid(pid, &st, 0), pid);
	ASSERT_TRUE(WIFEXITED(st));
	if (WEXITSTATUS(st) == NO_SECCOMP)
		GTEST_SKIP() << "seccomp filters are not available here";
	EXPECT_EQ(WEXITSTATUS(st), OK);
}

}
