// End-to-end runs of cctrace --all on real compilers (c++, clang, a
// versioned name, ccache, several sources), each compile recorded once; and
// the line a run without --all ends with when it passed compilers over.
#include "e2e-util.h"

namespace {

class E2eAll : public E2e {
protected:
	void
	SetUp() override
	{
		E2e::SetUp();
		if (IsSkipped())
			return;
		spew(path("b.cc"), "int g() { return 2; }\n");
		spew(path("c.c"), "int h(void) { return 3; }\n");
		spew(path("s.S"), ".text\n");
		// ccache's cache, and its statistics, are the test's own.
		setenv("CCACHE_DIR", path(".ccache").c_str(), 1);
	}

	void
	TearDown() override
	{
		unsetenv("CCACHE_DIR");
		E2e::TearDown();
	}

	// The entry of file compiled by args in the build directory.
	db_entry
	entry(const std::string &file, const std::vector<std::string> &args,
	    const std::string &output = "")
	{
		return { dir, path(file), args, output };
	}
};

// Each program must be there, or its case is passed over.
bool
have(const std::vector<const char *> &programs)
{
	for (const char *p : programs) {
		if (find_program(p).empty()) {
			std::cerr << p << " is not installed: its case is "
			    "not run\n";
			return false;
		}
	}
	return true;
}

TEST_F(E2eAll, RealCompilersRecordEachCompileOnce)
{
	const struct {
		const char *what;
		std::vector<const char *> needs;
		const char *script;
		std::vector<db_entry> db;
	} cases[] = {
		{ "c++", { "c++" }, "c++ -c b.cc -o b.o",
		    { entry("b.cc", { "c++", "-c", "b.cc", "-o", "b.o" },
		    "b.o") } },
		// clang runs itself again for -cc1, as its own helper.
		{ "clang", { "clang" }, "clang -fno-integrated-cc1 -c a.c",
		    { entry("a.c", { "clang", "-fno-integrated-cc1", "-c",
		    "a.c" }) } },
		{ "clang++ with -x", { "clang++" },
		    "cp b.cc b.inc && clang++ -x c++ -c b.inc -o b.o",
		    { entry("b.inc", { "clang++", "-x", "c++", "-c", "b.inc",
		    "-o", "b.o" }, "b.o") } },
		{ "a versioned name", { "gcc-12" },
		    "gcc-12 -c a.c -o a.o",
		    { entry("a.c", { "gcc-12", "-c", "a.c", "-o", "a.o" },
		    "a.o") } },
		{ "three sources", { "cc" }, "cc -c a.c c.c s.S",
		    { entry("a.c", { "cc", "-c", "a.c", "c.c", "s.S" }),
		    entry("c.c", { "cc", "-c", "a.c", "c.c", "s.S" }),
		    entry("s.S", { "cc", "-c", "a.c", "c.c", "s.S" }) } },
		// Preprocessing, dependencies and links compile nothing.
		{ "no compiles", { "cc" },
		    "cc -E a.c -o a.i && cc -M a.c >a.d && cc -MM -MF a.d a.c "
		    "&& cc -MD -c a.c -o a.o && cc a.o -shared -o a.so",
		    { entry("a.c", { "cc", "-MD", "-c", "a.c", "-o", "a.o" },
		    "a.o") } },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::vector<db_entry> db;

		if (!have(c.needs))
			continue;
		run_result r = run_in(dir, traced({ "--all", "sh", "-c",
		    c.script }));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.err, "");
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		EXPECT_EQ(db, c.db);
	}
}

// ccache followed by the compiler: one entry from the compiler on for a
// miss (the compiler ccache then runs, and its own -E pass, record
// nothing) and for a hit (no compiler runs).  Through its masquerading
// link, the compiler's name is what is recorded.
TEST_F(E2eAll, CcacheMissAndHit)
{
	const std::vector<std::string> args = { "cc", "-c", "a.c", "-o",
	    "a.o" };
	const struct {
		const char *what;
		std::vector<std::string> cmd;
		const char *counter;	// in ccache's statistics afterwards
		std::vector<std::string> recorded;
	} runs[] = {
		{ "miss", { "ccache", "cc", "-c", "a.c", "-o", "a.o" },
		    "cache_miss\t1", args },
		{ "hit", { "ccache", "cc", "-c", "a.c", "-o", "a.o" },
		    "direct_cache_hit\t1", args },
		{ "link named cc", { "/usr/lib/ccache/cc", "-c", "a.c", "-o",
		    "a.o" }, "direct_cache_hit\t2",
		    { "/usr/lib/ccache/cc", "-c", "a.c", "-o", "a.o" } },
	};

	if (!have({ "ccache" }))
		GTEST_SKIP();
	for (const auto &run : runs) {
		SCOPED_TRACE(run.what);
		std::vector<std::string> cmd = run.cmd;
		std::vector<db_entry> db;

		if (!exists(run.cmd[0]) && run.cmd[0][0] == '/')
			continue;
		cmd.insert(cmd.begin(), "--all");
		run_result r = run_in(dir, traced(cmd));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		EXPECT_EQ(db, (std::vector<db_entry>{ entry("a.c",
		    run.recorded, "a.o") }));
		run_result stats = run_in(dir, { "ccache", "--print-stats" });
		EXPECT_NE(("\n" + stats.out).find(std::string("\n") +
		    run.counter + "\n"), std::string::npos) << stats.out;
	}
}

// A compiler named with --compiler that runs another compiler, in a
// subshell: the build asked for one compile.
TEST_F(E2eAll, CompilerThatRunsACompilerIsRecordedOnce)
{
	std::vector<db_entry> db;

	spew(path("mycomp"), "#!/bin/sh\n(cc \"$@\")\n");
	chmod(path("mycomp").c_str(), 0755);
	run_result r = run_in(dir, traced({ "--all", "--compiler", "mycomp",
	    "sh", "-c", "./mycomp -c a.c && c++ -c b.cc" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	EXPECT_EQ(db, (std::vector<db_entry>{
	    entry("a.c", { "./mycomp", "-c", "a.c" }),
	    entry("b.cc", { "c++", "-c", "b.cc" }) }));
}

// The started command is recognised by the same rules.
TEST_F(E2eAll, StartedCommandIsACompiler)
{
	std::vector<db_entry> db;

	run_result r = run_in(dir, traced({ "--all", "c++", "-c", "b.cc",
	    "-o", "b.o" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	EXPECT_EQ(db, (std::vector<db_entry>{ entry("b.cc", { "c++", "-c",
	    "b.cc", "-o", "b.o" }, "b.o") }));
}

// A compile in a view of the file system of its own (a mount namespace
// that has ended, a chroot) names a source the tool cannot see by that
// path at the end: its entry stays, while a probe the build deleted in the
// tool's own view goes.
TEST_F(E2eAll, SourcesSeenOnlyByTheBuildStay)
{
	std::vector<db_entry> db;

	if (system("unshare -m true 2>/dev/null") != 0)
		GTEST_SKIP() << "private mount namespaces are not allowed here";
	mkdir(path("mnt").c_str(), 0755);
	spew(path("inside"),
	    "mkdir -p root/usr root/etc root/build root/tmp && "
	    "for d in bin lib lib64 sbin; do ln -s usr/$d root/$d; done && "
	    "mount --bind /usr root/usr && mount --bind /etc root/etc && "
	    "echo 'int f(void);' > root/build/m.c && "
	    "chroot root sh -c 'cd /build && cc -c m.c -o m.o' && "
	    "mount -t tmpfs none mnt && echo 'int f(void);' > mnt/n.c && "
	    "cd mnt && cc -c n.c -o n.o\n");
	run_result r = run_in(dir, traced({ "--all", "sh", "-c",
	    "unshare -m --propagation private sh inside && "
	    "echo 'int p;' > probe.c && cc -c probe.c -o probe.o && "
	    "rm probe.c" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	EXPECT_FALSE(exists(path("mnt/n.c")));
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	EXPECT_EQ(db, (std::vector<db_entry>{
	    { "/build", "/build/m.c", { "cc", "-c", "m.c", "-o", "m.o" },
	    "m.o" },
	    { path("mnt"), path("mnt/n.c"), { "cc", "-c", "n.c", "-o",
	    "n.o" }, "n.o" } }));
}

// Without --all, a run that passed over programs only --all takes for
// compilers ends with one line that counts their successful runs (not the
// failed attempts of a search, nor the runs a compiler makes itself); its
// database is the default rules' own.
TEST_F(E2eAll, WithoutAllOneLineSaysWhatWasPassedOver)
{
	const struct {
		std::vector<const char *> needs;
		const char *script;
		const char *err;
		size_t entries;
	} cases[] = {
		{ { "c++", "g++" },
		    "c++ -c b.cc && g++ -c b.cc && c++ -c b.cc && cc -c a.c",
		    "cctrace: 3 runs of c++ or g++ were not examined; cctrace "
		    "--all records their compiles\n", 1 },
		{ { "clang" }, "env PATH=/nonexistent:/usr/bin:/bin clang "
		    "-fno-integrated-cc1 -c a.c",
		    "cctrace: 1 run of clang was not examined; cctrace --all "
		    "records its compile\n", 0 },
		{ { "ccache", "g++" }, "ccache g++ -c b.cc",
		    "cctrace: 1 run of ccache was not examined; cctrace --all "
		    "records its compile\n", 0 },
		{ { "c++", "g++", "clang", "clang++", "gcc-12",
		    "x86_64-linux-gnu-gcc-12" },
		    "c++ -c b.cc; g++ -c b.cc; clang -c a.c; clang++ -c b.cc; "
		    "gcc-12 -c a.c; x86_64-linux-gnu-gcc-12 -c a.c",
		    "cctrace: 6 runs of c++, g++, clang, clang++ or 2 other "
		    "programs were not examined; cctrace --all records their "
		    "compiles\n", 0 },
		// The default rules take cpp for a compiler.
		{ { "cpp" }, "cc -c a.c && cpp a.c >/dev/null", "", 2 },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.script);
		std::vector<db_entry> db;

		if (!have(c.needs))
			continue;
		run_result r = run_in(dir, traced({ "sh", "-c", c.script }));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.err, c.err);
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		EXPECT_EQ(db.size(), c.entries);
	}
}

}  // namespace
