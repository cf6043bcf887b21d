// Exec capture through the event loop, on the scripted platform: what is
// read of each exec (the cost of --all), the mark of processes inside a
// compile, and the new image's vectors at the exec's end.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "compdb/compdb.h"
#include "platform-fake.h"
#include "tracer/tracer.h"
#include "test-util.h"

namespace {

constexpr pid_t PID = 100;
constexpr uint64_t PAGE = FAKE_PAGE;

std::string srcdir;

struct capture_all : testing::Test {
	tracer_info info{};
	uint64_t base = 10 * PAGE;

	static void SetUpTestSuite()
	{
		srcdir = make_source_dir("capture_all_test");
		ASSERT_NE(srcdir, "");
		fclose(fopen((srcdir + "/y.c").c_str(), "w"));
		compile_patterns();
	}
	static void TearDownTestSuite()
	{
		unlink((srcdir + "/y.c").c_str());
		remove_source_dir(srcdir);
	}
	void SetUp() override
	{
		fake_reset();
		options.all = true;
		entry_count = 0;
		info.out = tmpfile();
		ASSERT_NE(info.out, nullptr);
		LIST_INIT(&info.proclist);
		fake.sv_names[PID] = "FreeBSD ELF64";
		register_proc(&info, PID, lwp(PID));
	}
	void TearDown() override
	{
		options.all = false;
		while (!LIST_EMPTY(&info.proclist))
			release_proc(LIST_FIRST(&info.proclist));
		fclose(info.out);
	}

	static lwpid_t lwp(pid_t pid) { return pid * 1000; }

	// A new process, its parent as the platform names it.
	static void fork_child(pid_t pid, pid_t parent)
	{
		fake.sv_names[pid] = "FreeBSD ELF64";
		fake.parents[pid] = parent;
		fake_wait_trap(pid, SIGSTOP, lwp(pid), PL_FLAG_CHILD);
	}
	// An exec of argv by pid, entered and ended (succeeds unless told).
	void exec(pid_t pid, const std::vector<std::string> &argv,
	    bool entered = true, bool succeeds = true)
	{
		if (entered) {
			fake_script_exec(pid, lwp(pid), base, 8, "/bin/x", argv,
			    { "PWD=" + srcdir });
			base += 10 * PAGE;
			fake_wait_trap(pid, SIGTRAP, lwp(pid), PL_FLAG_SCE, 59,
			    3);
		}
		fake_wait_trap(pid, SIGTRAP, lwp(pid),
		    PL_FLAG_SCX | (succeeds ? PL_FLAG_EXEC : 0), 59, 3);
	}
	// What the kernel copied for pid's new image.
	static void image(pid_t pid, const std::vector<std::string> &argv)
	{
		fake.images[pid] = { argv, { "PWD=" + srcdir } };
	}
	std::vector<db_entry> run()
	{
		std::vector<db_entry> db;
		mainloop(&info);
		std::string text = stream_contents(info.out);
		EXPECT_TRUE(parse_db("[" + text + "]", &db)) << text;
		return db;
	}
	// The reads of pid's memory.
	static size_t reads_of(pid_t pid)
	{
		size_t n = 0;
		for (const fake_read &r : fake.reads)
			n += r.pid == pid;
		return n;
	}
	db_entry entry(const std::string &file,
	    const std::vector<std::string> &args, const std::string &output = "")
	{
		return { srcdir, srcdir + "/" + file, args, output };
	}
};

// A compiler's children and their descendants record nothing and cost one
// stop per exec: nothing of them is read.  The mark comes from the parent
// the platform names, whatever order the stops come in, and the parent is
// asked only while some process is marked.
TEST_F(capture_all, ProcessesInsideACompileRecordNothing)
{
	fork_child(200, PID);		// before any compile: not asked
	exec(PID, { "c++", "-c", "x.c", "-o", "x.o" });
	fork_child(300, PID);		// the compiler's helper
	fork_child(400, 300);		// and the helper's
	fork_child(500, -1);		// parent unknown: not inside
	exec(300, { "g++", "-c", "x.c" });
	exec(400, { "cc", "-c", "x.c" });
	exec(500, { "cc", "-c", "y.c" });
	exec(200, { "gcc", "-c", "y.c" });
	for (pid_t pid : { 200, 300, 400, 500, (int)PID })
		fake_wait_exit(pid);

	std::vector<db_entry> db = run();
	EXPECT_EQ(db, (std::vector<db_entry>{
	    entry("x.c", { "c++", "-c", "x.c", "-o", "x.o" }, "x.o"),
	    entry("y.c", { "cc", "-c", "y.c" }),
	    entry("y.c", { "gcc", "-c", "y.c" }),
	}));
	EXPECT_EQ(reads_of(300) + reads_of(400), 0u);
	EXPECT_EQ(fake.parent_calls, 3);
	EXPECT_EQ(info.inside_procs, 0u) << "not given back at the ends";
}

// Under --all an exec that names no compiler costs its name, as without;
// its new image is not read.
TEST_F(capture_all, OtherProgramsCostTheirName)
{
	std::vector<std::string> argv = { "make", "-j8" };
	argv.resize(300, "x.c");
	exec(PID, argv);
	fake_wait_exit(PID);

	EXPECT_TRUE(run().empty());
	EXPECT_EQ(fake.reads.size(), 2u) << "a pointer and the name";
	EXPECT_EQ(fake.image_reads, 0);
	EXPECT_EQ(fake.cwd_calls, 0);
}

// At the end of a compiler's exec the new image's vectors, which are what
// the kernel executed, decide; where it cannot be read, the entry's stand.
// A #! script's image holds its interpreter's vector.
TEST_F(capture_all, NewImageDecidesTheEntries)
{
	const struct {
		const char *what;
		bool all;
		std::vector<std::string> entered;
		std::vector<std::string> image;	// empty: cannot be read
		std::vector<db_entry> db;
	} cases[] = {
		{ "same", true, { "cc", "-c", "x.c" }, { "cc", "-c", "x.c" },
		    { entry("x.c", { "cc", "-c", "x.c" }) } },
		{ "source changed", true, { "cc", "-c", "x.c" },
		    { "cc", "-c", "y.c" },
		    { entry("y.c", { "cc", "-c", "y.c" }) } },
		{ "source changed, default rules", false,
		    { "cc", "-c", "x.c" }, { "cc", "-c", "y.c" },
		    { entry("y.c", { "cc", "-c", "y.c" }) } },
		{ "no compiler after all", true, { "cc", "-c", "x.c" },
		    { "true", "-c", "x.c" }, {} },
		{ "no source after all", true, { "cc", "-c", "x.c" },
		    { "cc", "-c", "gone.c" }, {} },
		{ "unreadable", true, { "cc", "-c", "x.c" }, {},
		    { entry("x.c", { "cc", "-c", "x.c" }) } },
		{ "script", true, { "./mycc", "-c", "x.c" },
		    { "/bin/sh", "-e", "./mycc", "-c", "y.c" },
		    { entry("y.c", { "./mycc", "-c", "y.c" }) } },
		{ "script, default rules", false, { "./mycc", "-c", "x.c" },
		    { "/bin/sh", "./mycc", "-c", "y.c" },
		    { entry("y.c", { "./mycc", "-c", "y.c" }) } },
		{ "wrapper", true, { "ccache", "cc", "-c", "x.c" },
		    { "ccache", "cc", "-c", "y.c" },
		    { entry("y.c", { "cc", "-c", "y.c" }) } },
	};

	options.compilers = { "mycc" };
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		TearDown();
		SetUp();
		options.all = c.all;
		if (!c.image.empty())
			image(PID, c.image);
		exec(PID, c.entered);
		fake_wait_exit(PID);
		EXPECT_EQ(run(), c.db);
	}
	options.compilers.clear();
}

// An exec with no entry stop before it (a seccomp supervisor of the build's
// own took the call first) is known by its new image alone; a failed one
// leaves nothing to read.
TEST_F(capture_all, ExecWithoutEntryStop)
{
	image(PID, { "cc", "-c", "x.c", "y.c" });
	exec(PID, {}, false);
	image(200, { "true" });
	fork_child(200, 1);
	exec(200, {}, false);
	exec(200, {}, false, false);
	fake_wait_exit(200);
	fake_wait_exit(PID);

	EXPECT_EQ(run(), (std::vector<db_entry>{
	    entry("x.c", { "cc", "-c", "x.c", "y.c" }),
	    entry("y.c", { "cc", "-c", "x.c", "y.c" }),
	}));
	EXPECT_EQ(fake.image_reads, 3) << "true's arguments only";
}

// The platform's word on whether the compiler sees the tool's files goes
// with its entries.
TEST_F(capture_all, OwnViewIsThePlatformsWord)
{
	traced_thread *thread = LIST_FIRST(&LIST_FIRST(&info.proclist)->threadlist);
	info.curthread = thread;

	for (bool own : { true, false }) {
		SCOPED_TRACE(own);
		fake_cwd(PID, srcdir, srcdir);
		fake.cwds[PID].own_view = own;
		fake_script_exec(PID, lwp(PID), base, 8, "/bin/cc",
		    { "cc", "-c", "x.c" }, { "PWD=" + srcdir });
		lwp_info entry_stop{ lwp(PID), PL_FLAG_SCE, 59, 3 };
		enter_syscall(&info, thread, &entry_stop);
		ASSERT_NE(thread->pending, nullptr);
		EXPECT_EQ(thread->exec.own_view, own);
		forget_exec(thread);
	}
}

}  // namespace
