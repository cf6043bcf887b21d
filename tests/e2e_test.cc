// End-to-end runs of the cctrace binary on real builds: make, shells,
// threads, vfork, signals, and the helper programs in tests/e2e/.
#include "e2e-util.h"

namespace {

// --- Whole builds -------------------------------------------------------

TEST_F(E2e, MakeWithTwoSourcesWritesBothEntries)
{
	std::vector<db_entry> db;

	spew(path("b.c"), "int g(void) { return 2; }\n");
	spew(path("Makefile"),
	    "all: a.o b.o\n"
	    "a.o: a.c\n\tcc -c a.c -o a.o\n"
	    "b.o: b.c\n\tcc -O2 -c b.c -o b.o\n");

	run_result r = run_in(dir, traced({ "make" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	EXPECT_TRUE(exists(path("b.o")));
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	EXPECT_EQ(db, (std::vector<db_entry>{
	    { dir, path("a.c"), { "cc", "-c", "a.c", "-o", "a.o" } },
	    { dir, path("b.c"), { "cc", "-O2", "-c", "b.c", "-o", "b.o" } },
	}));
}

TEST_F(E2e, FailingBuildStillEndsWithClosedArrayAndStatusZero)
{
	spew(path("bad.c"), "this is not C\n");
	spew(path("c.c"), "int h(void) { return 3; }\n");
	spew(path("Makefile"),
	    "all: a.o bad.o c.o\n"
	    "a.o:\n\tcc -c a.c -o a.o\n"
	    "bad.o:\n\tcc -c bad.c -o bad.o\n"
	    "c.o:\n\tcc -c c.c -o c.o\n");
	std::vector<db_entry> db;

	run_result r = run_in(dir, traced({ "make" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	EXPECT_NE(r.err.find("Error"), std::string::npos) << r.err;
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	ASSERT_EQ(db.size(), 2u);
	EXPECT_EQ(db[0].file, path("a.c"));
	EXPECT_EQ(db[1].file, path("bad.c"));
	EXPECT_FALSE(exists(path("c.o")));
}

TEST_F(E2e, ExistingFileIsTruncatedBeforeTheBuildRuns)
{
	std::string junk(4096, 'x');
	std::vector<db_entry> db;

	spew(path("compile_commands.json"), junk);
	run_result r = run_in(dir, traced({ "sh", "-c",
	    "cat compile_commands.json > seen; cc -c a.c -o /dev/null" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	EXPECT_EQ(slurp(path("seen")).find('x'), std::string::npos)
	    << "old content still there while the build ran";
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	ASSERT_EQ(db.size(), 1u);
	expect_a_c(db[0], cc_a);
}

TEST_F(E2e, CommandThatCannotBeExecutedLeavesTheFileAsItWas)
{
	spew(path("compile_commands.json"), "old content");

	run_result r = run_in(dir,
	    traced({ "cctrace-no-such-command", "-c", "a.c" }));

	EXPECT_TRUE(exited_with(r, 1)) << describe(r);
	// The child's report comes first; the tool may add one line of its
	// own about the vanished child.
	std::istringstream lines(r.err);
	std::string first, second, rest;
	std::getline(lines, first);
	std::getline(lines, second);
	std::getline(lines, rest, '\0');
	EXPECT_EQ(first, "cctrace: execvp cctrace-no-such-command: "
	    "No such file or directory") << r.err;
	EXPECT_TRUE(second.empty() || second.rfind("cctrace: ", 0) == 0)
	    << r.err;
	EXPECT_EQ(rest, "") << r.err;
	EXPECT_EQ(slurp(path("compile_commands.json")), "old content");
}

TEST_F(E2e, BuildWithoutCompilerGivesEmptyArray)
{
	std::vector<db_entry> db;

	run_result r = run_in(dir, traced({ "sh", "-c", "true; true" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	EXPECT_TRUE(db.empty());
}

// --- The output file -----------------------------------------------------

// A file that cannot be opened ends the tool before the build starts.
TEST_F(E2e, OutputThatCannotBeOpenedStopsBeforeTheBuild)
{
	const bool root = geteuid() == 0;
	const struct {
		const char *what;
		std::function<void()> prepare;
		const char *error;
	} cases[] = {
		{ "a directory", [&] {
			mkdir(path("compile_commands.json").c_str(), 0755);
		}, "Is a directory" },
		{ "a dangling link", [&] {
			ASSERT_EQ(symlink("gone/db.json",
			    path("compile_commands.json").c_str()), 0);
		}, "No such file or directory" },
		{ "not writable", [&] {
			spew(path("compile_commands.json"), "");
			chmod(path("compile_commands.json").c_str(), 0444);
		}, "Permission denied" },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::vector<std::string> cmd = traced({ "touch", "ran" });

		if (std::string(c.what) == "not writable" && root) {
			if (!why_not_as_nobody().empty())
				continue;
			chmod(dir.c_str(), 0777);
			cmd = traced_as_nobody({ "touch", "ran" });
		}
		c.prepare();
		run_result r = run_in(dir, cmd);

		EXPECT_TRUE(exited_with(r, 1)) << describe(r);
		EXPECT_EQ(r.err, std::string("cctrace: cannot open "
		    "compile_commands.json: ") + c.error + "\n");
		EXPECT_FALSE(exists(path("ran")));
		std::string rm = "rm -rf '" + path("compile_commands.json") + "'";
		ASSERT_EQ(system(rm.c_str()), 0);
	}
}

// A write that fails lets the build run to its end, then says so and ends
// with 1: on a device that is always full, and on a file system that fills
// up during the build.
TEST_F(E2e, WriteFailureIsReportedAfterTheBuild)
{
	// Twelve entries of over 1 KiB each.
	const std::string script = "for i in 1 2 3 4 5 6 7 8 9 10 11 12; do "
	    "cc -c a.c -o /dev/null -DPAD=" + std::string(1024, 'x') + "; "
	    "done; touch \"$0\"";
	const std::vector<std::string> full = { "unshare", "-m",
	    "--propagation", "private", "sh", "-c",
	    "mount -t tmpfs -o size=12k none small && cp a.c small && "
	    "cd small && exec \"$0\" sh -c \"$1\" ../after", CCTRACE_BIN,
	    script };
	const struct {
		const char *what;
		std::vector<std::string> cmd;
	} cases[] = {
		{ "/dev/full", traced({ "sh", "-c", script, "after" }) },
		{ "full file system", full },
	};

	ASSERT_EQ(symlink("/dev/full", path("compile_commands.json").c_str()), 0);
	mkdir(path("small").c_str(), 0755);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		if (c.cmd[0] == "unshare" &&
		    system("unshare -m true 2>/dev/null") != 0) {
			std::cerr << "private mount namespaces are not allowed "
			    "here: the full file system is not tried\n";
			continue;
		}
		unlink(path("after").c_str());
		run_result r = run_in(dir, c.cmd);

		EXPECT_TRUE(exited_with(r, 1)) << describe(r);
		EXPECT_EQ(r.err, "cctrace: cannot write compile_commands.json: "
		    "No space left on device\n");
		EXPECT_TRUE(exists(path("after"))) << "the build was cut short";
	}
}

// A build that removes or replaces the file gets it back whole, through
// the user's link if the name is one.
TEST_F(E2e, FileRemovedByTheBuildIsWrittenAgain)
{
	const struct {
		const char *what;
		bool link;
		const char *script;
	} cases[] = {
		{ "removed", false, "cc -c a.c -o /dev/null; "
		    "rm compile_commands.json; cc -c a.c -o /dev/null" },
		{ "replaced", false, "cc -c a.c -o /dev/null; "
		    "echo '[]' > new.json && mv new.json compile_commands.json" },
		{ "removed behind a link", true, "cc -c a.c -o /dev/null; "
		    "rm out/db.json" },
		{ "kept", false, "cc -c a.c -o /dev/null" },
	};

	mkdir(path("out").c_str(), 0755);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::vector<db_entry> db;
		struct stat sb;

		unlink(path("compile_commands.json").c_str());
		if (c.link) {
			ASSERT_EQ(symlink("out/db.json",
			    path("compile_commands.json").c_str()), 0);
		}
		run_result r = run_in(dir, traced({ "sh", "-c", c.script }));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		if (std::string(c.what) == "kept") {
			EXPECT_EQ(r.err, "");
		} else {
			EXPECT_EQ(r.err, "cctrace: compile_commands.json was "
			    "removed or replaced during the build; written "
			    "again\n");
		}
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		EXPECT_EQ(db.size(), std::string(c.what) == "removed" ? 2u : 1u);
		ASSERT_EQ(lstat(path("compile_commands.json").c_str(), &sb), 0);
		EXPECT_EQ(S_ISLNK(sb.st_mode), c.link);
		EXPECT_EQ(sb.st_mode & 0777, c.link ? 0777 : 0644);
	}
}

// SIGTERM and SIGINT sent to the tool alone leave the build and the tool
// running to the end.
TEST_F(E2e, SignalsToTheToolAloneAreIgnored)
{
	std::vector<db_entry> db;
	build_options opts;

	// Sent once the tool ignores them, as its /proc status shows: before
	// the command has started they still end it.
	opts.meanwhile = [&](pid_t tool) {
		const unsigned long both = 1UL << (SIGTERM - 1) |
		    1UL << (SIGINT - 1);
		std::string status = "/proc/" + std::to_string(tool) + "/status";

		EXPECT_TRUE(eventually(10000, [&] {
			std::string text = slurp(status);
			size_t at = text.find("\nSigIgn:\t");
			return at != std::string::npos &&
			    (std::stoul(text.substr(at + 9), nullptr, 16) &
			    both) == both;
		}));
		kill(tool, SIGTERM);
		kill(tool, SIGINT);
	};
	run_result r = run_in(dir, traced({ "sh", "-c",
	    "sleep 0.6; cc -c a.c -o /dev/null; touch after" }), opts);

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	EXPECT_TRUE(exists(path("after")));
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	ASSERT_EQ(db.size(), 1u);
	expect_a_c(db[0], cc_a);
}

// The file's main reader takes it: clangd finds each source's own command
// in the database of a recursive make build.  Every source needs
// the macro and the include directory of its own command, so a command that
// clangd guessed from a neighbour's, or a wrong directory, fails its check.
TEST_F(E2e, ClangdLoadsEachSourcesCommandFromTheDatabase)
{
	const struct {
		const char *file;	// relative to the build directory
		const char *unit;	// macro that only its own command defines
	} sources[] = {
		{ "main.c", "UNIT_MAIN" },
		{ "lib/util.c", "UNIT_UTIL" },
		{ "lib/shape.cpp", "UNIT_SHAPE" },
	};
	const std::string marker = "Compile command from CDB is: ";
	std::string clangd = find_program("clangd");
	std::vector<db_entry> db;

	if (clangd.empty())
		GTEST_SKIP() << "clangd is not installed";
	mkdir(path("include").c_str(), 0755);
	mkdir(path("lib").c_str(), 0755);
	spew(path("include/config.h"), "#define ANSWER 42\n");
	for (const auto &s : sources)
		spew(path(s.file), std::string("#include \"config.h\"\n") +
		    "#ifndef " + s.unit + "\n#error \"not the command of " +
		    s.file + "\"\n#endif\nint answer(void) { return ANSWER; }\n");
	spew(path("Makefile"),
	    "all:\n"
	    "\tcc -Iinclude -DUNIT_MAIN -c main.c -o main.o\n"
	    "\t$(MAKE) -C lib\n"
	    "\tcc -Iinclude -DUNIT_SHAPE -c lib/shape.cpp -o lib/shape.o\n");
	spew(path("lib/Makefile"),
	    "util.o: util.c\n\tcc -I../include -DUNIT_UTIL -c util.c\n");

	run_result r = run_in(dir, traced({ "make" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	ASSERT_EQ(db.size(), 3u);
	EXPECT_EQ(db[1].directory, path("lib"));
	for (const auto &s : sources) {
		SCOPED_TRACE(s.file);
		build_options opts;

		opts.timeout_sec = 120;
		r = run_in(dir, { clangd, "--check=" + path(s.file),
		    "--compile-commands-dir=" + dir }, opts);
		size_t at = r.err.find(marker);
		ASSERT_NE(at, std::string::npos)
		    << "no command from the database: " << describe(r);
		std::string cmd = r.err.substr(at + marker.size(),
		    r.err.find('\n', at) - at - marker.size());
		EXPECT_NE(cmd.find(std::string(" -D") + s.unit + " "),
		    std::string::npos) << "another file's command: " << cmd;
		EXPECT_TRUE(exited_with(r, 0)) << describe(r);
	}
}

// --- What an exec is recorded as ---------------------------------------

// A path search that fails in several directories before it finds cc
// makes several exec attempts but only one exec succeeds.
TEST_F(E2e, EnvSearchingPathRecordsOneEntry)
{
	std::vector<db_entry> db;

	mkdir(path("empty").c_str(), 0755);
	mkdir(path("noexec").c_str(), 0755);
	spew(path("noexec/cc"), "not a program\n");
	run_result r = run_in(dir, traced({ "env",
	    "PATH=/nonexistent1:/nonexistent2:" + path("empty") + ":" +
	    path("noexec") + ":/nonexistent3:/usr/bin:/bin",
	    "cc", "-c", "a.c", "-o", "/dev/null" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	ASSERT_EQ(db.size(), 1u);
	expect_a_c(db[0], cc_a);
}

// Execs made by execas: the program that runs and the argument vector
// that its caller passed differ, and only the vector counts; an exec that
// fails is no compile.
TEST_F(E2e, ExecRecognisedByCallersArgumentVector)
{
	struct {
		std::vector<std::string> how;	// execas's arguments before argv
		const char *argv0;
		bool recorded;
	} cases[] = {
		{ { "/bin/true" }, "cc", true },
		{ { "/usr/bin/cc" }, "foo", false },
		// execveat, by a name in a directory and by a descriptor.
		{ { "-at", "/bin", "true" }, "cc", true },
		{ { "-at", "/bin/true", "" }, "cc", true },
		{ { "-at", "/bin", "nonexistent" }, "cc", false },
		// Failed attempts.
		{ { "/nonexistent/cc" }, "cc", false },
		{ { "./notexec/cc" }, "cc", false },
		// A #! script called mycc: the kernel runs /bin/sh with
		// another vector, but its caller asked for mycc.
		{ { "./mycc" }, "mycc", true },
	};

	spew(path("mycc"), "#!/bin/sh\nexit 0\n");
	chmod(path("mycc").c_str(), 0755);
	mkdir(path("notexec").c_str(), 0755);
	spew(path("notexec/cc"), "#!/bin/sh\n");
	for (const auto &c : cases) {
		std::vector<std::string> cmd = { E2E_EXECAS };
		std::vector<db_entry> db;

		cmd.insert(cmd.end(), c.how.begin(), c.how.end());
		cmd.insert(cmd.end(), { c.argv0, "-c", "a.c" });
		SCOPED_TRACE(cmd[1] + " " + cmd.back());
		unlink(path("compile_commands.json").c_str());
		run_result r = run_in(dir, traced(cmd));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		if (!c.recorded) {
			EXPECT_EQ(db.size(), 0u);
			continue;
		}
		ASSERT_EQ(db.size(), 1u);
		expect_a_c(db[0], { c.argv0, "-c", "a.c" });
	}
}

// The started command is a compile command like any other, and its entry
// comes first.
TEST_F(E2e, StartedCommandIsRecordedFirst)
{
	spew(path("b.c"), "int g(void) { return 2; }\n");
	spew(path("mycc"), "#!/bin/sh\nexec cc -c b.c -o /dev/null\n");
	chmod(path("mycc").c_str(), 0755);
	const std::vector<std::string> cmds[] = {
		cc_a,
		{ "/usr/bin/cc", "-c", "a.c", "-o", "/dev/null" },
		{ "./mycc", "-c", "a.c" },
	};

	for (const auto &cmd : cmds) {
		SCOPED_TRACE(cmd[0]);
		std::vector<db_entry> db;
		build_options opts;

		// Its directory is found as any compiler's.
		opts.no_pwd = true;
		run_result r = run_in(dir, traced(cmd), opts);

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		ASSERT_EQ(db.size(), cmd[0] == "./mycc" ? 2u : 1u);
		expect_a_c(db[0], cmd);
		if (db.size() == 2) {
			EXPECT_EQ(db[1].file, path("b.c"));
		}
	}
}

// --- The directory the compiler runs in ----------------------------------

// Launchers that change directory and leave PWD as it was: the compiler's
// PWD names the top directory, whose a.c is a decoy.
TEST_F(E2e, CompilerInAnotherDirectoryThanItsPwd)
{
	bool have_python = system("command -v python3 >/dev/null") == 0;
	const struct {
		const char *what;
		std::vector<std::string> cmd;
	} cases[] = {
		{ "make -C", { "make" } },
		{ "python subprocess cwd", { "python3", "-c",
		    "import subprocess; subprocess.run(['cc', '-c', 'a.c', "
		    "'-o', '/dev/null'], cwd='sub', check=True)" } },
		{ "no PWD", { "sh", "-c", "cd sub && exec env -u PWD cc -c a.c "
		    "-o /dev/null" } },
	};

	mkdir(path("sub").c_str(), 0755);
	spew(path("sub/a.c"), a_source);
	spew(path("Makefile"), "all: ; $(MAKE) -C sub\n");
	spew(path("sub/Makefile"), "all: ; cc -c a.c -o /dev/null\n");
	for (const auto &c : cases) {
		for (bool decoy : { true, false }) {
			SCOPED_TRACE(std::string(c.what) +
			    (decoy ? " with a.c above" : ""));
			std::vector<db_entry> db;

			if (c.cmd[0] == "python3" && !have_python) {
				std::cerr << "python3 is not installed: "
				    "its case is not run\n";
				continue;
			}
			if (decoy)
				spew(path("a.c"), a_source);
			else
				unlink(path("a.c").c_str());
			run_result r = run_in(dir, traced(c.cmd));

			ASSERT_TRUE(exited_with(r, 0)) << describe(r);
			ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
			ASSERT_EQ(db.size(), 1u);
			EXPECT_EQ(db[0].directory, path("sub"));
			EXPECT_EQ(db[0].file, path("sub/a.c"));
		}
	}
}

// PWD through a link to the working directory is what users see: kept.
TEST_F(E2e, PwdThroughALinkIsKept)
{
	std::vector<db_entry> db;
	build_options opts;

	ASSERT_EQ(symlink(".", path("here").c_str()), 0);
	opts.pwd = path("here");
	std::vector<std::string> cmd = cc_a;
	cmd.insert(cmd.begin(), "env");
	run_result r = run_in(dir, traced(cmd), opts);

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	ASSERT_EQ(db.size(), 1u);
	EXPECT_EQ(db[0].directory, path("here"));
	EXPECT_EQ(db[0].file, path("here/a.c"));
}

// Builds that see another file system than the tool: the source exists
// only in the build's own mount namespace, or the build has changed root.
// Sources are found where the compiler sees them, and recorded by the
// compiler's own paths.
TEST_F(E2e, BuildInAnotherViewOfTheFileSystem)
{
	if (system("unshare -m true 2>/dev/null") != 0)
		GTEST_SKIP() << "private mount namespaces are not allowed here";
	const struct {
		const char *what;
		const char *script;
		std::string directory;
		std::string file;
	} cases[] = {
		{ "mount namespace",
		    "mount -t tmpfs none mnt && cd mnt && "
		    "echo 'int f(void);' > m.c && cc -c m.c -o m.o",
		    path("mnt"), path("mnt/m.c") },
		// /usr, and /etc for the links to cc, are all a merged-/usr
		// system needs to run it.
		{ "chroot",
		    "mkdir -p root/usr root/etc root/build root/tmp && "
		    "for d in bin lib lib64 sbin; do ln -s usr/$d root/$d; done && "
		    "mount --bind /usr root/usr && mount --bind /etc root/etc && "
		    "echo 'int f(void);' > root/build/m.c && "
		    "chroot root sh -c 'cd /build && cc -c m.c -o m.o'",
		    "/build", "/build/m.c" },
	};

	mkdir(path("mnt").c_str(), 0755);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::vector<db_entry> db;

		unlink(path("compile_commands.json").c_str());
		run_result r = run_in(dir, traced({ "unshare", "-m",
		    "--propagation", "private", "sh", "-c", c.script }));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		ASSERT_EQ(db.size(), 1u);
		EXPECT_EQ(db[0].directory, c.directory);
		EXPECT_EQ(db[0].file, c.file);
		EXPECT_EQ(db[0].arguments, (std::vector<std::string>{ "cc",
		    "-c", "m.c", "-o", "m.o" }));
	}
	EXPECT_FALSE(exists(path("mnt/m.c")));
}

// --- Threads and process trees ------------------------------------------

TEST_F(E2e, NonMainThreadExecsCompiler)
{
	std::vector<std::string> cmd = cc_a;
	std::vector<db_entry> db;

	cmd.insert(cmd.begin(), E2E_THREAD_EXEC);
	run_result r = run_in(dir, traced(cmd));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	ASSERT_EQ(db.size(), 1u);
	expect_a_c(db[0], cc_a);
}

TEST_F(E2e, ThreadsSpawningCompilersAtOnce)
{
	std::vector<std::string> cmd = cc_a;
	std::vector<db_entry> db;

	cmd.insert(cmd.begin(), { E2E_SPAWN_THREADS, "4", "6" });
	run_result r = run_in(dir, traced(cmd));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	EXPECT_EQ(r.out, "ok\n") << r.err;
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	ASSERT_EQ(db.size(), 24u);
	for (const db_entry &e : db)
		expect_a_c(e, cc_a);
}

// New tasks of a creator that is not the tracer's own child tend to report
// before their creator's event does.
TEST_F(E2e, GrandchildForksAndSpawnsManyCompilers)
{
	std::vector<std::string> cmd = cc_a;
	std::vector<db_entry> db;

	cmd.insert(cmd.begin(), { E2E_FORKTREE, "100" });
	run_result r = run_in(dir, traced(cmd));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	EXPECT_EQ(r.out, "ok 100\n") << r.err;
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	ASSERT_EQ(db.size(), 100u);
	for (const db_entry &e : db)
		expect_a_c(e, cc_a);
}

TEST_F(E2e, LeaderThreadExitsBeforeAnotherRunsCompiler)
{
	for (const char *mode : { "exec", "spawn" }) {
		SCOPED_TRACE(mode);
		std::vector<std::string> cmd = cc_a;
		std::vector<db_entry> db;

		unlink(path("compile_commands.json").c_str());
		cmd.insert(cmd.begin(), { E2E_LEADER_EXIT, mode });
		run_result r = run_in(dir, traced(cmd));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		if (std::string(mode) == "spawn") {
			EXPECT_EQ(r.out, "spawned ok\n") << r.err;
		}
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		ASSERT_EQ(db.size(), 1u);
		expect_a_c(db[0], cc_a);
	}
}

// The build's shell returns at once, racing with the creation of its
// background job, which compiles later and is still followed.  Several
// runs, as the shell's exit may or may not be seen first.
TEST_F(E2e, GrandchildrenOutlivingTheBuildAreFollowed)
{
	for (int i = 0; i < 8; i++) {
		SCOPED_TRACE("run " + std::to_string(i));
		std::vector<db_entry> db;

		unlink(path("a.o").c_str());
		run_result r = run_in(dir, traced({ "sh", "-c",
		    "(sleep 0.2; cc -c a.c -o a.o) &" }));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_TRUE(exists(path("a.o")))
		    << "returned before the job ended";
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		ASSERT_EQ(db.size(), 1u);
		expect_a_c(db[0], { "cc", "-c", "a.c", "-o", "a.o" });
	}
}

// A process ends while it forks, by another thread's _exit or by an outside
// SIGKILL that comes while it is stopped at a fork: every child it created
// runs, including those created in its last moments, which the tool must
// follow although their creator is gone.  The test adopts the orphans (as a
// child subreaper) to count how each ended: run (status 7) or killed before
// it ran.
TEST_F(E2e, ChildrenOfAProcessEndingWhileItForksAllRun)
{
	ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0);
	for (int i = 0; i < 24; i++) {
		const char *mode = i < 4 ? "thread" : "kill";
		SCOPED_TRACE(std::string(mode) + " batch " + std::to_string(i));
		int ran = 0, lost = 0, st;
		build_options opts;
		pid_t pid;

		unlink(path("pid").c_str());
		if (i >= 4) {
			opts.meanwhile = [&](pid_t) {
				std::string pidfile = path("pid");
				pid_t worker;

				ASSERT_TRUE(eventually(5000, [&] {
					return exists(pidfile);
				}));
				worker = atoi(slurp(pidfile).c_str());
				// Stopped at a fork: its child may not have
				// been met yet.
				eventually(2000, [&] {
					return proc_state(worker) == 't';
				});
				kill(worker, SIGKILL);
			};
		}
		run_result r = run_in(dir, traced({ E2E_FORK_EXIT, mode, "300" }),
		    opts);
		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		// The orphans end on their own, or are being killed with
		// the tool: wait for the last.
		EXPECT_TRUE(eventually(10000, [&] {
			while ((pid = waitpid(-1, &st, WNOHANG)) > 0) {
				if (WIFEXITED(st) && WEXITSTATUS(st) == 7)
					ran++;
				else
					lost++;
			}
			return pid == -1 && errno == ECHILD;
		}));
		EXPECT_GT(ran, 0);
		EXPECT_EQ(lost, 0) << ran << " children ran";
	}
	prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
}

// --- Signals -------------------------------------------------------------

TEST_F(E2e, SignalsReachTracedProgramsAsUntraced)
{
	for (const char *mode : { "self", "child", "term", "stop", "tstp" }) {
		SCOPED_TRACE(mode);
		std::vector<db_entry> db;
		build_options opts;

		opts.timeout_sec = 10;
		run_result r = run_in(dir, traced({ E2E_SIGTEST, mode }), opts);

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.out, "ok\n") << r.err;
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		EXPECT_EQ(db.size(), 0u);
	}
}

// The build ends by a signal, or sends one to its whole process group,
// cctrace included: the signal is delivered (nothing runs after it) and
// cctrace still closes the array and exits 0.
TEST_F(E2e, BuildEndedBySignalLeavesClosedArray)
{
	const char *scripts[] = {
		"cc -c a.c -o /dev/null; kill -TERM $$; touch after",
		"cc -c a.c -o /dev/null; kill -KILL $$; touch after",
		"cc -c a.c -o /dev/null; kill -INT 0; touch after",
		"cc -c a.c -o /dev/null; kill -QUIT 0; touch after",
		"cc -c a.c -o /dev/null; kill -TERM 0; touch after",
	};

	for (const char *script : scripts) {
		SCOPED_TRACE(script);
		std::vector<db_entry> db;
		build_options opts;

		opts.timeout_sec = 10;
		unlink(path("compile_commands.json").c_str());
		run_result r = run_in(dir, traced({ "sh", "-c", script }), opts);

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_FALSE(exists(path("after")))
		    << "the signal did not reach the build";
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		ASSERT_EQ(db.size(), 1u);
		expect_a_c(db[0], cc_a);
	}
}

// --- The build's environment --------------------------------------------

// Traced processes must not outlive a killed tool unable to exec: they
// die with it.
TEST_F(E2e, ToolKilledTakesTheBuildWithIt)
{
	build_options opts;
	pid_t sleeper = 0;

	opts.timeout_sec = 10;
	opts.meanwhile = [&](pid_t tool) {
		std::string pidfile = path("pid");

		ASSERT_TRUE(eventually(5000, [&] { return exists(pidfile) &&
		    !slurp(pidfile).empty(); }));
		sleeper = atoi(slurp(pidfile).c_str());
		kill(tool, SIGKILL);
	};
	run_result r = run_in(dir, traced({ "sh", "-c",
	    "sleep 30 & echo $! > pid.tmp && mv pid.tmp pid; wait" }), opts);

	ASSERT_FALSE(r.timed_out);
	ASSERT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGKILL)
	    << describe(r);
	ASSERT_GT(sleeper, 0);
	EXPECT_TRUE(eventually(5000, [&] {
		char state = proc_state(sleeper);
		return state == 0 || state == 'Z';
	})) << "pid " << sleeper << " still runs";
}

// Ctrl-Z stops the build with the tool, fg (SIGCONT to the group) lets both
// go on to the end.
TEST_F(E2e, StopAndContinueTheWholeJob)
{
	for (int i = 0; i < 3; i++) {
		SCOPED_TRACE("run " + std::to_string(i));
		std::vector<db_entry> db;
		build_options opts;

		unlink(path("after").c_str());
		opts.timeout_sec = 20;
		opts.meanwhile = [&](pid_t tool) {
			usleep(100000 * (i + 1));
			kill(-tool, SIGTSTP);
			EXPECT_TRUE(eventually(3000, [&] {
				return proc_state(tool) == 'T';
			}));
			usleep(700000);
			EXPECT_FALSE(exists(path("after")))
			    << "the build went on while stopped";
			kill(-tool, SIGCONT);
		};
		run_result r = run_in(dir, traced({ "sh", "-c",
		    "sleep 0.5; cc -c a.c -o /dev/null; touch after" }), opts);

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_TRUE(exists(path("after")));
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		ASSERT_EQ(db.size(), 1u);
		expect_a_c(db[0], cc_a);
	}
}

TEST_F(E2e, NoDescriptorOfTheToolLeaksIntoTheBuild)
{
	const std::vector<std::string> cmds[] = {
		{ E2E_FDLIST },
		{ "sh", "-c", std::string(E2E_FDLIST) + "; true" },
	};

	for (const auto &cmd : cmds) {
		SCOPED_TRACE(cmd.back());
		build_options opts;

		opts.extra_fd = 5;
		run_result r = run_in(dir, traced(cmd), opts);

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.out, "0\n1\n2\n5\n");
	}
}

// A program of the build that installs a seccomp filter of its own, whose
// SECCOMP_RET_TRACE makes a call fail with ENOSYS when nothing traces it for
// that filter, sees the same under the tool, which goes on recording the
// execs its own filter stops.
TEST_F(E2e, ProgramsOwnSeccompFilterActsAsUntraced)
{
	struct {
		const char *call;
		const char *out;
		size_t entries;
	} cases[] = {
		{ "getppid", "getppid -1 ENOSYS\n", 1 },
		{ "execve", "execve -1 ENOSYS\n", 0 },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.call);
		std::vector<std::string> cmd = cc_a;
		std::vector<db_entry> db;

		cmd.insert(cmd.begin(), { E2E_OWN_FILTER, c.call });
		run_result bare = run_in(dir, cmd);
		ASSERT_TRUE(exited_with(bare, 0)) << describe(bare);
		EXPECT_EQ(bare.out, c.out);

		run_result r = run_in(dir, traced(cmd));
		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.out, bare.out);
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		ASSERT_EQ(db.size(), c.entries);
		if (c.entries == 1)
			expect_a_c(db[0], cc_a);
	}
}

// Without /proc, or with the /proc of another pid namespace, the backend
// cannot tell a new process from a new thread: the tool says so at once and
// the build does not start.
TEST_F(E2e, WithoutUsableProcTheBuildDoesNotStart)
{
	struct {
		const char *how;
		std::vector<std::string> wrapper;
		const char *message;
	} cases[] = {
		{ "/proc masked by a tmpfs",
		    { "unshare", "-m", "sh", "-c",
		    "mount -t tmpfs none /proc && exec \"$0\" \"$@\"" },
		    "cctrace: cannot trace without /proc: /proc/self/status: "
		    "No such file or directory\n" },
		{ "/proc of the parent pid namespace",
		    { "unshare", "-p", "-f" },
		    "cctrace: cannot trace with the /proc of another pid "
		    "namespace: /proc/self/status gives pid " },
	};

	run_result probe = run_in(dir, { "unshare", "-m", "-p", "-f", "true" });
	if (!exited_with(probe, 0))
		GTEST_SKIP() << "private mount and pid namespaces are not "
		    "permitted here: " << probe.err;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.how);
		std::vector<std::string> cmd = c.wrapper;

		for (const std::string &a : traced({ "sh", "-c",
		    "touch ran; cc -c a.c -o /dev/null" }))
			cmd.push_back(a);
		run_result r = run_in(dir, cmd);

		EXPECT_TRUE(exited_with(r, 1)) << describe(r);
		// A sanitizer's runtime has its own words about a missing
		// /proc.
		EXPECT_TRUE(r.err.starts_with(c.message) ||
		    r.err.find(std::string("\n") + c.message) !=
		    std::string::npos) << r.err;
		EXPECT_FALSE(exists(path("ran")));
		EXPECT_EQ(slurp(path("compile_commands.json")), "");
	}
}

TEST_F(E2e, WorksAsOrdinaryUser)
{
	std::vector<db_entry> db;
	std::string why = why_not_as_nobody();

	if (!why.empty())
		GTEST_SKIP() << why;
	ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
	run_result r = run_in(dir, traced_as_nobody({ "sh", "-c",
	    "cc -c a.c -o a.o && id -u > uid" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	EXPECT_EQ(slurp(path("uid")), "65534\n");
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	ASSERT_EQ(db.size(), 1u);
	expect_a_c(db[0], { "cc", "-c", "a.c", "-o", "a.o" });
}

// An ordinary user may not look into a process that is not dumpable: one
// that runs a program the user may execute but not read, or that made
// itself so and forks.  Such processes are followed all the same, and the
// build goes on to its end.
TEST_F(E2e, ProcessesTheUserMayNotInspectDoNotStopTheBuild)
{
	std::vector<db_entry> db;
	std::string why = why_not_as_nobody();

	if (!why.empty())
		GTEST_SKIP() << why;
	std::string undumpable = runnable_by_nobody(E2E_UNDUMPABLE);
	if (undumpable.empty())
		GTEST_SKIP() << "cannot make a copy of " E2E_UNDUMPABLE
		    " that uid 65534 can run";
	ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
	spew(path("xonly"), slurp("/bin/true"));
	ASSERT_EQ(chmod(path("xonly").c_str(), 0711), 0);
	run_result r = run_in(dir, traced_as_nobody({ "sh", "-c",
	    "./xonly && " + undumpable + " true && cc -c a.c -o a.o && "
	    "echo done" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	EXPECT_EQ(r.out, "done\n");
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	ASSERT_EQ(db.size(), 1u);
	expect_a_c(db[0], { "cc", "-c", "a.c", "-o", "a.o" });
}

}  // namespace
