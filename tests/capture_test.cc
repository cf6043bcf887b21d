#include <gtest/gtest.h>

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

constexpr pid_t PID = 7;
constexpr lwpid_t LWP = 100100;
constexpr uint64_t PAGE = FAKE_PAGE;

std::string srcdir, otherdir;

void
script_exec(lwpid_t lwp, const std::string &path,
    const std::vector<std::string> &argv,
    const std::vector<std::string> &envp)
{
	fake_script_exec(PID, lwp, 10 * PAGE, 8, path, argv, envp);
}

struct capture : testing::Test {
	traced_proc proc{};
	traced_thread thread{};
	tracer_info info{};

	static void SetUpTestSuite()
	{
		srcdir = make_source_dir("capture_test");
		otherdir = make_source_dir("capture_test");
		ASSERT_NE(srcdir, "");
		ASSERT_NE(otherdir, "");
		compile_patterns();
	}
	static void TearDownTestSuite()
	{
		remove_source_dir(srcdir);
		remove_source_dir(otherdir);
	}
	void SetUp() override
	{
		fake_reset();
		proc.pid = PID;
		proc.abi = abi_table[0].abi;
		fake.sv_names[PID] = "FreeBSD ELF64";
		LIST_INIT(&proc.threadlist);
		thread.proc = &proc;
		thread.lwpid = LWP;
		info.curthread = &thread;
	}
	void TearDown() override
	{
		free_compile_entry(thread.pending);
		thread.pending = nullptr;
	}

	void enter(unsigned int code, unsigned int narg)
	{
		lwp_info lwp{ LWP, PL_FLAG_SCE, code, narg };
		enter_syscall(&info, &thread, &lwp);
	}
	std::vector<std::string> pending_args()
	{
		std::vector<std::string> v;
		cJSON *item;
		cJSON_ArrayForEach(item, thread.pending->arguments)
			v.push_back(cJSON_GetStringValue(item));
		return v;
	}
};

TEST_F(capture, OnlyExecveWithItsArgumentsIsExamined)
{
	struct {
		unsigned int code, narg;
		int sc_args_result;
		int sc_args_calls;
	} cases[] = {
		{ 4, 3, 0, 0 },		// write(2)
		{ 58, 3, 0, 0 },
		{ 59, 2, 0, 0 },	// 59 but not execve under this ABI
		{ 59, 0, 0, 0 },
		{ 59, 3, -1, 1 },	// fetch fails
	};

	for (auto &c : cases) {
		SetUp();
		script_exec(LWP, "/bin/cc", { "cc", "-c", "x.c" },
		    { "PWD=" + srcdir });
		fake.sc_args_result = c.sc_args_result;
		enter(c.code, c.narg);
		EXPECT_EQ(fake.sc_args_calls, c.sc_args_calls) << c.code;
		EXPECT_TRUE(fake.reads.empty()) << c.code;
		EXPECT_EQ(thread.pending, nullptr) << c.code;
	}
}

TEST_F(capture, ArgvNotPathIsRecognised)
{
	script_exec(LWP, "/usr/bin/cc", { "foo", "-c", "x.c" },
	    { "HOME=/", "PWD=" + srcdir });
	enter(59, 3);
	EXPECT_EQ(thread.pending, nullptr);

	script_exec(LWP, "/bin/echo", { "cc", "-c", "x.c" },
	    { "HOME=/", "PWD=" + srcdir });
	enter(59, 3);
	ASSERT_NE(thread.pending, nullptr);
	EXPECT_EQ(thread.pending->directory, srcdir);
	EXPECT_EQ(thread.pending->file, srcdir + "/x.c");
	EXPECT_EQ(pending_args(), (std::vector<std::string>{ "cc", "-c",
	    "x.c" }));
	// The arguments were fetched for the thread, not the process.
	EXPECT_EQ(fake.sc_args.count(PID), 0u);
}

// The directory is the kernel's unless PWD names the same one; PWD alone
// only where the kernel cannot say.
TEST_F(capture, DirectoryFromTheKernelOrPwd)
{
	struct {
		const char *what;
		std::string cwd;	// "" for none
		std::string directory;
	} cases[] = {
		{ "kernel differs from PWD", otherdir, otherdir },
		{ "kernel agrees with PWD", srcdir, srcdir },
		{ "kernel cannot say", "", srcdir },
	};

	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		TearDown();
		SetUp();
		if (!c.cwd.empty())
			fake_cwd(PID, c.cwd, c.cwd);
		script_exec(LWP, "/bin/cc", { "cc", "-c", "x.c" },
		    { "PWD=" + srcdir });
		enter(59, 3);
		ASSERT_NE(thread.pending, nullptr);
		EXPECT_EQ(thread.pending->directory, c.directory);
		EXPECT_EQ(thread.pending->file, c.directory + "/x.c");
		EXPECT_EQ(fake.cwd_calls, 1);
	}
}

// Most execs start no compiler: their name is all that is read of them.
TEST_F(capture, OtherProgramsAreReadNoFurtherThanTheirName)
{
	std::vector<std::string> argv = { "true" };
	argv.resize(400, "x.c");
	script_exec(LWP, "/bin/true", argv, { "PWD=" + srcdir });
	enter(59, 3);
	EXPECT_EQ(thread.pending, nullptr);
	EXPECT_EQ(fake.cwd_calls, 0);
	ASSERT_EQ(fake.reads.size(), 2u);
	EXPECT_EQ(fake.reads[0], (fake_read{ PID, 11 * PAGE, 8 }));
	EXPECT_EQ(fake.reads[1].address, 13 * PAGE);
}

TEST_F(capture, LaterAttemptReplacesPendingEntry)
{
	script_exec(LWP, "/a/cc", { "cc", "-c", "x.c" }, { "PWD=" + srcdir });
	enter(59, 3);
	ASSERT_NE(thread.pending, nullptr);

	script_exec(LWP, "/b/cc", { "cc", "-O2", "-c", "x.c" },
	    { "PWD=" + srcdir });
	enter(59, 3);
	ASSERT_NE(thread.pending, nullptr);
	EXPECT_EQ(pending_args(), (std::vector<std::string>{ "cc", "-O2",
	    "-c", "x.c" }));

	// An attempt that is not a compile command drops the held one.
	script_exec(LWP, "/bin/true", { "true" }, { "PWD=" + srcdir });
	enter(59, 3);
	EXPECT_EQ(thread.pending, nullptr);
}

// The vectors are read with the pointer size of the call, which the platform
// names at each entry: on Linux a 64-bit program may make it as i386 or x32
// code, and a 32-bit one as x86_64 code.
TEST_F(capture, VectorsAreReadWithThePointerSizeOfTheCall)
{
	struct {
		const char *abi;
		size_t pointer_size;	// 0: not read at all
	} calls[] = {
		{ "Linux ELF32", 4 },
		{ "Linux ELF64", 8 },
		{ "Linux ELF32", 4 },
		{ "Linux unknown", 0 },
	};
	uint64_t base = 10 * PAGE;

	for (auto &c : calls) {
		SCOPED_TRACE(c.abi);
		fake.sv_names[PID] = c.abi;
		fake.reads.clear();
		fake_script_exec(PID, LWP, base, c.pointer_size ?
		    c.pointer_size : 8, "/usr/bin/cc",
		    { "cc", "-c", "x.c" }, { "PWD=" + srcdir });
		base += 10 * PAGE;
		testing::internal::CaptureStderr();
		enter(59, 3);
		std::string err = testing::internal::GetCapturedStderr();
		if (c.pointer_size == 0) {
			EXPECT_EQ(thread.pending, nullptr);
			EXPECT_TRUE(fake.reads.empty());
			EXPECT_NE(err.find("ABI Linux unknown for pid 7 is not "
			    "supported"), std::string::npos) << err;
			continue;
		}
		ASSERT_NE(thread.pending, nullptr);
		EXPECT_EQ(pending_args(), (std::vector<std::string>{ "cc",
		    "-c", "x.c" }));
		EXPECT_EQ(proc.abi->pointer_size, c.pointer_size);
	}
}

// Vectors that the exec cannot take, which the kernel will refuse: one
// string or the two vectors together past the limits (here FreeBSD's
// ARG_MAX, 512 KiB, for both) give no entry.
TEST_F(capture, VectorsPastWhatAnExecTakesGiveNoEntry)
{
	const std::string k200(200 * 1024, 'a'), k300(300 * 1024, 'b');
	const std::string k600(600 * 1024, 'c');
	struct {
		const char *what;
		std::string arg, env;
		bool recorded;
	} cases[] = {
		{ "200 KiB in each", k200, k200, true },
		{ "300 KiB in each", k300, k300, false },
		{ "one string of 600 KiB", k600, "", false },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		free_compile_entry(thread.pending);
		thread.pending = nullptr;
		script_exec(LWP, "/usr/bin/cc", { "cc", "-c", "x.c",
		    "-DA=" + c.arg }, { "PWD=" + srcdir, "B=" + c.env });
		enter(59, 3);
		EXPECT_EQ(thread.pending != nullptr, c.recorded);
	}
}

}
