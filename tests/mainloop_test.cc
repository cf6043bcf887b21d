#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "compdb/compdb.h"
#include "platform-fake.h"
#include "tracer/tracer.h"
#include "test-util.h"

namespace {

constexpr pid_t PID = 100;
constexpr lwpid_t LWP = 100100;
constexpr uint64_t PAGE = FAKE_PAGE;

std::string srcdir;

typedef std::vector<std::pair<pid_t, int>> resumes;

struct mainloop_test : testing::Test {
	tracer_info info{};

	static void SetUpTestSuite()
	{
		srcdir = make_source_dir("mainloop_test");
		ASSERT_NE(srcdir, "");
		compile_patterns();
	}
	static void TearDownTestSuite() { remove_source_dir(srcdir); }
	void SetUp() override
	{
		fake_reset();
		entry_count = 0;
		info.out = tmpfile();
		ASSERT_NE(info.out, nullptr);
		LIST_INIT(&info.proclist);
		// The started command, as launch leaves it.
		fake.sv_names[PID] = "FreeBSD ELF64";
		register_proc(&info, PID, LWP);
	}
	void TearDown() override
	{
		while (!LIST_EMPTY(&info.proclist))
			release_proc(LIST_FIRST(&info.proclist));
		fclose(info.out);
	}

	std::string output() { return stream_contents(info.out); }
	// A compile command entered by LWP and its exit.
	static void compile(size_t pointer_size, uint64_t base,
	    const std::string &opt, bool succeeds)
	{
		fake_script_exec(PID, LWP, base, pointer_size, "/usr/bin/cc",
		    { "cc", opt, "-c", "x.c" }, { "PWD=" + srcdir });
		fake_wait_trap(PID, SIGTRAP, LWP, PL_FLAG_SCE, 59, 3);
		fake_wait_trap(PID, SIGTRAP, LWP,
		    PL_FLAG_SCX | (succeeds ? PL_FLAG_EXEC : 0), 59, 3);
	}
};

TEST_F(mainloop_test, ResumeSignals)
{
	fake_wait_trap(PID, SIGINT, LWP, 0);
	fake_wait_trap(PID, SIGTRAP, LWP, 0);
	fake_wait_trap(PID, SIGTRAP, LWP, PL_FLAG_SCE, 20, 0);
	fake_wait_trap(PID, SIGTRAP, LWP, PL_FLAG_SCX, 20, 0);
	// Syscall flags on a stop for another signal: still passed on.
	fake_wait_trap(PID, SIGUSR1, LWP, PL_FLAG_SCE, 20, 0);
	fake_wait_exit(PID);
	mainloop(&info);
	EXPECT_EQ(fake.syscalls, (resumes{ { PID, SIGINT }, { PID, SIGTRAP },
	    { PID, 0 }, { PID, 0 }, { PID, SIGUSR1 } }));
	EXPECT_TRUE(LIST_EMPTY(&info.proclist));
	EXPECT_EQ(info.curthread, nullptr);
}

TEST_F(mainloop_test, ThreadBirthAndExit)
{
	// A birth that is also a system-call entry is a birth only.
	fake_script_exec(PID, LWP + 1, 10 * PAGE, 8, "/usr/bin/cc",
	    { "cc", "-c", "x.c" }, { "PWD=" + srcdir });
	fake_wait_trap(PID, SIGTRAP, LWP + 1, PL_FLAG_BORN | PL_FLAG_SCE, 59, 3);
	fake_wait_trap(PID, SIGTRAP, LWP + 1, PL_FLAG_SCE, 20, 0);
	fake_wait_trap(PID, SIGTRAP, LWP + 1, PL_FLAG_EXITED);
	fake_wait_exit(PID);
	mainloop(&info);
	EXPECT_EQ(fake.sc_args_calls, 0);
	EXPECT_EQ(fake.syscalls, resumes(3, { PID, 0 }));
}

TEST_F(mainloop_test, NewChildWithItsLwp)
{
	fake.sv_names[200] = "FreeBSD ELF64";
	fake_wait_trap(200, SIGSTOP, 200100, PL_FLAG_CHILD);
	fake_wait_trap(200, SIGTRAP, 200100, PL_FLAG_SCE, 20, 0);
	fake_wait_exit(200, CLD_KILLED);
	fake_wait_exit(PID, CLD_DUMPED);
	mainloop(&info);
	EXPECT_EQ(fake.getnumlwps_calls, 0);
	EXPECT_EQ(fake.syscalls, resumes(2, { 200, 0 }));
}

TEST_F(mainloop_test, ExecIntoUnsupportedAbiDetaches)
{
	for (bool others : { false, true }) {
		SCOPED_TRACE(others ? "with another process" : "last process");
		TearDown();
		SetUp();
		if (others) {
			fake.sv_names[300] = "FreeBSD ELF64";
			register_proc(&info, 300, 300100);
		}
		fake.sv_names[PID] = "FreeBSD ELF16";
		fake_wait_trap(PID, SIGTRAP, LWP, PL_FLAG_SCX | PL_FLAG_EXEC,
		    59, 3);
		if (others) {
			// Our child's end is still reported; it is passed over.
			fake_wait_exit(PID);
			fake_wait_exit(300);
		}
		testing::internal::CaptureStderr();
		mainloop(&info);
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_TRUE(err.ends_with(
		    ": ABI FreeBSD ELF16 for pid 100 is not supported\n")) << err;
		EXPECT_EQ(fake.detaches,
		    (std::vector<fake_detach>{ { PID, 1, 0 } }));
		EXPECT_TRUE(LIST_EMPTY(&info.proclist));
		EXPECT_TRUE(fake.waits.empty());
	}
}

TEST_F(mainloop_test, FailedExecThenSuccessfulGivesOneEntry)
{
	compile(8, 10 * PAGE, "-O0", false);
	compile(8, 20 * PAGE, "-O2", true);
	fake_wait_exit(PID);
	mainloop(&info);
	std::vector<db_entry> db;
	ASSERT_TRUE(parse_db("[" + output() + "]", &db)) << output();
	EXPECT_EQ(db, (std::vector<db_entry>{ { srcdir, srcdir + "/x.c",
	    { "cc", "-O2", "-c", "x.c" } } }));
}

TEST_F(mainloop_test, ExecOf32BitProgramReadsFourBytePointers)
{
	// Into a 32-bit program; its own exec of cc has its vectors near
	// the top of its 4 GiB.
	fake.sv_names[PID] = "FreeBSD ELF32";
	fake_wait_trap(PID, SIGTRAP, LWP, PL_FLAG_SCX | PL_FLAG_EXEC, 59, 3);
	compile(4, 0xffff0000, "-m32", true);
	fake_wait_exit(PID);
	mainloop(&info);
	EXPECT_NE(output().find("[\"cc\", \"-m32\", \"-c\", \"x.c\"]"),
	    std::string::npos) << output();
}

// FreeBSD's flags that the tracer does not read: a fork's return in the
// parent, and a signal stop's valid siginfo.
constexpr int PL_FORKED = 0x40;
constexpr int PL_SI = 0x20;

// FreeBSD reports a fork's two stops in either order, and the new child's
// first stop only once it is scheduled: its parent, here the started command
// itself, may have ended by then.  The registry is empty for a while, and
// the child is still followed to its compile and its end.
TEST_F(mainloop_test, ChildMetAfterEveryOtherProcessHasEnded)
{
	fake.sv_names[200] = "FreeBSD ELF64";
	fake_wait_trap(PID, SIGTRAP, LWP, PL_FORKED | PL_FLAG_SCX, 2, 0);
	fake_wait_exit(PID);
	fake_wait_trap(200, SIGSTOP, 200100, PL_FLAG_CHILD | PL_FLAG_SCX, 2, 0);
	fake_script_exec(200, 200100, 10 * PAGE, 8, "/bin/cc",
	    { "cc", "-c", "x.c" }, { "PWD=" + srcdir });
	fake_wait_trap(200, SIGTRAP, 200100, PL_FLAG_SCE, 59, 3);
	fake_wait_trap(200, SIGTRAP, 200100, PL_FLAG_SCX | PL_FLAG_EXEC, 59, 3);
	fake_wait_exit(200);
	mainloop(&info);
	EXPECT_TRUE(fake.waits.empty());
	EXPECT_EQ(output(), "{\n\"directory\": \"" + srcdir + "\",\n"
	    "\"file\": \"" + srcdir + "/x.c\",\n"
	    "\"arguments\": [\"cc\", \"-c\", \"x.c\"]\n}");
}

// Threads still there when their process ends, in FreeBSD's orders: a
// thread that the exit or an exec of its process ends before it first ran
// reports its end but never its birth; a process killed by SIGKILL reports
// no thread's end at all, only its own.
TEST_F(mainloop_test, ThreadsLeftWhenTheProcessEnds)
{
	for (const char *end : { "exit", "exec", "SIGKILL" }) {
		SCOPED_TRACE(end);
		TearDown();
		SetUp();
		std::string how = end;

		fake_wait_trap(PID, SIGTRAP, LWP + 1, PL_FLAG_BORN | PL_FLAG_SCX,
		    455, 2);
		if (how == "SIGKILL") {
			fake_wait_trap(PID, SIGKILL, LWP, PL_SI);
			fake_wait_exit(PID, CLD_KILLED);
		} else {
			// LWP + 2 was never reported born.
			fake_wait_trap(PID, SIGTRAP, LWP + 2, PL_FLAG_EXITED);
			fake_wait_trap(PID, SIGTRAP, LWP + 1, PL_FLAG_EXITED);
			if (how == "exec")
				fake_wait_trap(PID, SIGTRAP, LWP,
				    PL_FLAG_EXEC | PL_FLAG_SCX, 59, 3);
			fake_wait_exit(PID);
		}
		mainloop(&info);
		EXPECT_TRUE(fake.waits.empty());
		EXPECT_TRUE(LIST_EMPTY(&info.proclist));
		EXPECT_EQ(fake.syscalls.back(), (std::pair<pid_t, int>{ PID,
		    how == "SIGKILL" ? SIGKILL : 0 }));
	}
}

// The started command forks CHILD and stops it with a signal, as a build
// process that waits for the stop with WUNTRACED; in FreeBSD's order: the
// fork's return in the parent, the child's first stop (SIGSTOP), the
// parent's kill, the child's signal stop, then the parent's wait4.
TEST_F(mainloop_test, StopSignalTheProcessCannotObeyTracedLetsItGo)
{
	constexpr pid_t CHILD = 200;
	constexpr lwpid_t CLWP = 200100;
	struct {
		const char *what;
		pid_t stopped;	// the process the signal stops
		int sig;
		int answer;	// of proc_stop_needs_detach
		int detach_result;
		bool asked;
		bool let_go;
	} cases[] = {
		{ "SIGSTOP", CHILD, SIGSTOP, 1, 0, true, true },
		{ "SIGTSTP", CHILD, SIGTSTP, 1, 0, true, true },
		{ "SIGTTIN", CHILD, SIGTTIN, 1, 0, true, true },
		{ "SIGTTOU", CHILD, SIGTTOU, 1, 0, true, true },
		// Caught, ignored, or undone by a pending SIGCONT.
		{ "no stop untraced", CHILD, SIGTSTP, 0, 0, true, false },
		{ "platform cannot tell", CHILD, SIGSTOP, -1, 0, true, false },
		{ "detach fails", CHILD, SIGSTOP, 1, -1, true, false },
		{ "not a stop signal", CHILD, SIGUSR1, 1, 0, false, false },
		// Its parent is the tool.
		{ "started command", PID, SIGSTOP, 1, 0, false, false },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		TearDown();
		SetUp();
		info.command = PID;
		fake.sv_names[CHILD] = "FreeBSD ELF64";
		fake.stop_answers[c.stopped] = c.answer;
		fake.detach_result = c.detach_result;
		lwpid_t lwp = c.stopped == PID ? LWP : CLWP;

		fake_wait_trap(PID, SIGTRAP, LWP, PL_FORKED | PL_FLAG_SCX, 2, 0);
		fake_wait_trap(CHILD, SIGSTOP, CLWP, PL_FLAG_CHILD | PL_FLAG_SCX,
		    2, 0);
		fake_wait_trap(PID, SIGTRAP, LWP, PL_FLAG_SCE, 37, 2);
		fake_wait_trap(PID, SIGTRAP, LWP, PL_FLAG_SCX, 37, 2);
		fake_wait_trap(c.stopped, c.sig, lwp, PL_SI);
		fake_wait_trap(PID, SIGTRAP, LWP, PL_FLAG_SCE, 7, 4);
		// A child let go ends as its parent's: the tracer never
		// hears of it again.
		if (!c.let_go)
			fake_wait_exit(CHILD);
		fake_wait_exit(PID);
		mainloop(&info);

		EXPECT_TRUE(fake.waits.empty());
		EXPECT_TRUE(LIST_EMPTY(&info.proclist));
		EXPECT_EQ(fake.stop_questions, c.asked ?
		    (resumes{ { c.stopped, c.sig } }) : resumes{});
		resumes expected = { { PID, 0 }, { CHILD, 0 }, { PID, 0 },
		    { PID, 0 } };
		if (c.let_go) {
			EXPECT_EQ(fake.detaches, (std::vector<fake_detach>{
			    { CHILD, 1, c.sig } }));
		} else
			expected.push_back({ c.stopped, c.sig });
		expected.push_back({ PID, 0 });
		EXPECT_EQ(fake.syscalls, expected);
	}
}

TEST_F(mainloop_test, InterruptedWaitIsRepeated)
{
	fake_wait_error(EINTR);
	fake_wait_error(EINTR);
	fake_wait_trap(PID, SIGTRAP, LWP, PL_FLAG_SCE, 20, 0);
	fake_wait_exit(PID);
	mainloop(&info);
	EXPECT_EQ(fake.syscalls, (resumes{ { PID, 0 } }));
}

TEST_F(mainloop_test, FatalWaitResults)
{
	fake.waits.push_back(fake_wait{ 0, 0, CLD_STOPPED, PID, SIGSTOP, {} });
	EXPECT_EXIT(mainloop(&info), testing::ExitedWithCode(1),
	    ": waitid reported CLD_STOPPED\n");
	fake.waits.clear();
	fake_wait_error(ECHILD);
	EXPECT_EXIT(mainloop(&info), testing::ExitedWithCode(1),
	    ": Unexpected error from waitid: ");
}

}
