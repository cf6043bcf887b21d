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
	// The exit finds exactly one thread left, or it aborts.
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
		EXPECT_EQ(fake.detaches, (std::vector<std::pair<pid_t,
		    uintptr_t>>{ { PID, 1 } }));
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
