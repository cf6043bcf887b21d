#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "compdb/compdb.h"
#include "platform-fake.h"
#include "tracer/tracer.h"

namespace {

constexpr pid_t PID = 100;
constexpr uint64_t PAGE = FAKE_PAGE;

struct launch : testing::Test {
	tracer_info info{};
	char cmd[5] = "make";
	char *argv[2] = { cmd, nullptr };

	void SetUp() override
	{
		fake_reset();
		LIST_INIT(&info.proclist);
		fake.vfork_pid = PID;
		fake.sv_names[PID] = "FreeBSD ELF64";
		fake.lwplists[PID] = { 100100 };
		fake.lwps[100100] = lwp_info{ 100100, 0, 0, 0 };
	}
	void TearDown() override
	{
		while (!LIST_EMPTY(&info.proclist))
			release_proc(LIST_FIRST(&info.proclist));
	}
	static std::vector<lwpid_t> lwps(traced_proc *proc)
	{
		std::vector<lwpid_t> v;
		traced_thread *t;
		LIST_FOREACH(t, &proc->threadlist, entries)
			v.push_back(t->lwpid);
		return v;
	}
};

TEST_F(launch, StartedCommandIsRegisteredNotExamined)
{
	launch_traced(&info, argv);
	EXPECT_EQ(fake.waitpids, std::vector<pid_t>{ PID });
	traced_proc *proc = LIST_FIRST(&info.proclist);
	ASSERT_NE(proc, nullptr);
	EXPECT_EQ(proc->pid, PID);
	EXPECT_EQ(proc->abi, abi_table[0].abi);
	EXPECT_EQ(lwps(proc), std::vector<lwpid_t>{ 100100 });
	EXPECT_EQ(fake.sc_args_calls, 0);
	EXPECT_TRUE(fake.syscalls.empty()) << "left stopped";
}

TEST_F(launch, ThreadsAtSyscallEntryAreExamined)
{
	char dir[] = "/tmp/launch_test.XXXXXX";
	ASSERT_NE(mkdtemp(dir), nullptr);
	std::string x = std::string(dir) + "/x.c";
	fclose(fopen(x.c_str(), "w"));
	compile_patterns();

	fake.lwplists[PID] = { 100100, 100101, 100102 };
	fake.lwps[100101] = lwp_info{ 100101, PL_FLAG_SCE, 59, 3 };
	fake.lwps[100102] = lwp_info{ 100102, PL_FLAG_SCX, 59, 3 };
	fake_script_exec(PID, 100101, 10 * PAGE, 8, "/usr/bin/cc",
	    { "cc", "-c", "x.c" }, { std::string("PWD=") + dir });
	fake_script_exec(PID, 100102, 20 * PAGE, 8, "/usr/bin/cc",
	    { "cc", "-c", "x.c" }, { std::string("PWD=") + dir });
	register_proc(&info, PID, 0);

	traced_proc *proc = LIST_FIRST(&info.proclist);
	EXPECT_EQ(lwps(proc), (std::vector<lwpid_t>{ 100102, 100101, 100100 }));
	EXPECT_EQ(fake.sc_args_calls, 1);
	ASSERT_NE(info.curthread, nullptr);
	EXPECT_EQ(info.curthread->lwpid, 100101);
	ASSERT_NE(info.curthread->pending, nullptr);
	EXPECT_EQ(info.curthread->pending->file, x);
	unlink(x.c_str());
	rmdir(dir);
}

TEST_F(launch, NewChildIsRegisteredWithItsLwpOnly)
{
	fake.sv_names[200] = "FreeBSD ELF32";
	register_proc(&info, 200, 200100);
	traced_proc *proc = LIST_FIRST(&info.proclist);
	EXPECT_EQ(proc->pid, 200);
	EXPECT_EQ(proc->abi->pointer_size, 4u);
	EXPECT_EQ(lwps(proc), std::vector<lwpid_t>{ 200100 });
	EXPECT_EQ(fake.getnumlwps_calls, 0);
}

TEST_F(launch, UnsupportedAbiIsRegisteredAllTheSame)
{
	fake.sv_names[PID] = "FreeBSD ELF16";
	testing::internal::CaptureStderr();
	launch_traced(&info, argv);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_TRUE(err.ends_with(
	    ": ABI FreeBSD ELF16 for pid 100 is not supported\n")) << err;
	ASSERT_EQ(LIST_FIRST(&info.proclist), lookup_proc(&info, PID));
	EXPECT_EQ(LIST_FIRST(&info.proclist)->abi, nullptr);
}

TEST_F(launch, FatalPaths)
{
	fake.vfork_pid = -1;
	EXPECT_EXIT(launch_traced(&info, argv), testing::ExitedWithCode(1),
	    ": fork failed: ");
	fake.vfork_pid = PID;
	fake.waitpid_result = -1;
	EXPECT_EXIT(launch_traced(&info, argv), testing::ExitedWithCode(1),
	    ": unexpected stop in waitpid: ");
	fake.waitpid_result = 0;
	fake.follow_fork_result = -1;
	EXPECT_EXIT(register_proc(&info, PID, 0), testing::ExitedWithCode(1),
	    ": Unable to follow forks for pid 100: ");
	fake.follow_fork_result = 0;
	fake.lwp_events_result = -1;
	EXPECT_EXIT(register_proc(&info, PID, 0), testing::ExitedWithCode(1),
	    ": Unable to enable LWP events for pid 100: ");
	fake.lwp_events_result = 0;
	fake.lwplists.erase(PID);
	EXPECT_EXIT(register_proc(&info, PID, 0), testing::ExitedWithCode(1),
	    ": Unable to fetch number of LWPs: ");
	fake.lwplists[PID] = { 100100 };
	fake.lwps.erase(100100);
	EXPECT_EXIT(register_proc(&info, PID, 0), testing::ExitedWithCode(1),
	    ": ptrace\\(PT_LWPINFO\\): ");
	register_proc(&info, PID, 100100);
	EXPECT_EXIT(register_proc(&info, PID, 100100),
	    testing::ExitedWithCode(1), ": Duplicate process for pid 100\n");
}

}
