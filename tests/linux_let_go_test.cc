// The Linux backend letting a process go, driven as the tracer drives it, on
// real processes.  The exec filter cannot be taken off a task: a process the
// tracer lets go must still be able to exec, it and the threads and children
// it creates from then on, and nothing of them may be reported.
#include "e2e-util.h"

#include "tracer/platform.h"

namespace {

TEST(linux_let_go, ProcessLetGoRunsAndExecsUnreported)
{
	char out[] = "/tmp/cctrace-let-go-XXXXXX";
	std::string why;
	siginfo_t si;
	int fd, reports = 0;
	pid_t pid;

	if (!can_trace(&why))
		GTEST_SKIP() << why;
	ASSERT_GE(fd = mkstemp(out), 0);
	// From a thread other than the first, the process execs a program
	// whose threads run `true` in children made by posix_spawn and vfork.
	pid = proc_vfork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		dup2(fd, 1);
		pt_trace_me();
		execl(E2E_THREAD_EXEC, "thread_exec", E2E_SPAWN_THREADS, "2",
		    "4", "true", (char *)nullptr);
		_exit(127);
	}
	close(fd);
	ASSERT_EQ(proc_waitpid(pid), pid);
	// Let go at its first stop, as at an exec into an ABI the tracer
	// cannot read.
	ASSERT_EQ(pt_detach(pid, 1, 0), 0);
	while (wait_traced(&si) == 0) {
		reports++;
		if (si.si_code == CLD_TRAPPED)
			pt_syscall(si.si_pid, 0);
	}
	EXPECT_EQ(errno, ECHILD);
	EXPECT_EQ(reports, 0);
	EXPECT_EQ(slurp(out), "ok\n");
	unlink(out);
}

}  // namespace
