// End-to-end runs on the database file: -o, a command that never runs, -a,
// --all's final file, and builds that remove, replace, link or alter it.
#include "e2e-util.h"

namespace {

const char b_source[] = "int g(void) { return 2; }\n";

// cctrace's argument vector with its options before the command.
std::vector<std::string>
tool(const std::vector<std::string> &opts, const std::vector<std::string> &cmd)
{
	std::vector<std::string> v = { CCTRACE_BIN };

	v.insert(v.end(), opts.begin(), opts.end());
	v.insert(v.end(), cmd.begin(), cmd.end());
	return v;
}

// The entries of the database in file: a closed array in the tool's layout.
void
read_db_at(const std::string &file, std::vector<db_entry> *entries)
{
	std::string text = slurp(file);

	ASSERT_TRUE(text.starts_with("[\n") && text.ends_with("\n]"))
	    << file << ": \"" << text << "\"";
	ASSERT_TRUE(parse_db(text, entries)) << file << ": \"" << text << "\"";
}

std::vector<std::string>
files_of(const std::vector<db_entry> &entries)
{
	std::vector<std::string> files;

	for (const db_entry &e : entries)
		files.push_back(e.file);
	return files;
}

// A modification time that any write since would have changed.
constexpr time_t long_ago = 1000000000;

void
make_old(const std::string &file)
{
	struct timespec times[2] = { { long_ago, 0 }, { long_ago, 0 } };

	ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

bool
still_old(const std::string &file)
{
	struct stat sb;

	return stat(file.c_str(), &sb) == 0 && sb.st_mtime == long_ago;
}

// --- -o --------------------------------------------------------------------

// Every rule of the file holds for the file -o names, and every message
// names it as the user wrote it.
TEST_F(E2e, OutputOptionNamesTheFileWithAllItsRules)
{
	const struct {
		const char *what;
		std::vector<std::string> opts;
		const char *script;
		int status;
		const char *err;
		const char *db;		// where the entry is, "" for nowhere
		bool ran;
	} cases[] = {
		{ "in a subdirectory", { "-o", "sub/db.json" }, "", 0, "",
		    "sub/db.json", true },
		{ "through a link", { "--output=link.json" }, "", 0, "",
		    "sub/real.json", true },
		{ "in a missing directory", { "-o", "missing/db.json" }, "", 1,
		    "cctrace: cannot open missing/db.json: No such file or "
		    "directory\n", "", false },
		{ "removed by the build", { "--output", "sub/db.json" },
		    "rm sub/db.json; ", 0, "cctrace: sub/db.json was removed or "
		    "replaced during the build; written again\n", "sub/db.json",
		    true },
		{ "its directory removed by the build", { "-o", "sub/db.json" },
		    "rm -r sub; ", 1, "cctrace: cannot write sub/db.json: No such "
		    "file or directory\n", "", true },
		{ "a full device", { "-o", "/dev/full" }, "", 1,
		    "cctrace: cannot write /dev/full: No space left on device\n",
		    "", true },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::vector<db_entry> db;
		struct stat sb;

		ASSERT_EQ(system(("cd '" + dir + "' && rm -rf sub ran link.json "
		    "&& mkdir sub && ln -s sub/real.json link.json").c_str()), 0);
		run_result r = run_in(dir, tool(c.opts, { "sh", "-c",
		    std::string(c.script) + "cc -c a.c -o /dev/null; touch ran"
		}));

		EXPECT_TRUE(exited_with(r, c.status)) << describe(r);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(exists(path("ran")), c.ran);
		EXPECT_FALSE(exists(path("compile_commands.json")));
		if (c.db[0] != '\0') {
			ASSERT_NO_FATAL_FAILURE(read_db_at(path(c.db), &db));
			ASSERT_EQ(db.size(), 1u);
			expect_a_c(db[0], cc_a);
		}
		ASSERT_EQ(lstat(path("link.json").c_str(), &sb), 0);
		EXPECT_TRUE(S_ISLNK(sb.st_mode));
	}
}

// --- A command that never runs -------------------------------------------

// It leaves the file as it was, not even written to, and one that was not
// there is not there afterwards, whatever the options.
TEST_F(E2e, CommandThatNeverRunsLeavesTheFileAsItWas)
{
	const std::string old_db = "[\n{\n\"directory\": \"/w\",\n"
	    "\"file\": \"/w/a.c\",\n\"arguments\": [\"cc\", \"-c\", \"a.c\"]\n}\n]";
	const char *commands[] = { "cctrace-no-such-command", "./notexec" };
	const struct {
		std::vector<std::string> opts;
		const char *file;
	} outputs[] = {
		{ {}, "compile_commands.json" },
		{ { "-o", "sub/x.json" }, "sub/x.json" },
		{ { "-a" }, "compile_commands.json" },
	};

	// execvp fails on it with EACCES.
	spew(path("notexec"), "#!/bin/sh\n");
	mkdir(path("sub").c_str(), 0755);
	for (const char *cmd : commands) {
		for (const auto &out : outputs) {
			for (bool existed : { true, false }) {
				SCOPED_TRACE(std::string(cmd) + " " + out.file +
				    (out.opts.size() == 1 ? " -a" : "") +
				    (existed ? "" : ", not there before"));
				std::string file = path(out.file);

				unlink(file.c_str());
				if (existed) {
					spew(file, old_db);
					make_old(file);
				}
				run_result r = run_in(dir, tool(out.opts,
				    { cmd, "-c", "a.c" }));

				EXPECT_TRUE(exited_with(r, 1)) << describe(r);
				EXPECT_TRUE(r.err.starts_with(
				    std::string("cctrace: execvp ") + cmd + ": "))
				    << r.err;
				if (existed) {
					EXPECT_EQ(slurp(file), old_db);
					EXPECT_TRUE(still_old(file));
				} else {
					EXPECT_FALSE(exists(file));
				}
			}
		}
	}
}

// --- -a ----------------------------------------------------------------------

// Rebuilding one file of two: the other's entry is kept, the rebuilt one's
// replaced; while the build runs, the file holds the old entries.
TEST_F(E2e, AppendAfterRebuildingOneFileOfTwo)
{
	std::vector<db_entry> first, seen, db;

	spew(path("b.c"), b_source);
	spew(path("Makefile"),
	    "all: a.o b.o\n"
	    "a.o: a.c\n\tcc -c a.c -o a.o\n"
	    "b.o: b.c\n\tcat compile_commands.json > seen\n"
	    "\tcc $(BFLAGS) -c b.c -o b.o\n");
	run_result r = run_in(dir, traced({ "make", "BFLAGS=-O0" }));
	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &first));
	ASSERT_EQ(first.size(), 2u);

	ASSERT_NO_FATAL_FAILURE(make_old(path("b.o")));
	r = run_in(dir, tool({ "-a" }, { "make", "BFLAGS=-O2" }));

	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	EXPECT_EQ(r.err, "");
	ASSERT_TRUE(parse_db(slurp(path("seen")) + "\n]", &seen));
	EXPECT_EQ(seen, first);
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
	EXPECT_EQ(db, (std::vector<db_entry>{ first[0],
	    { dir, path("b.c"), { "cc", "-O2", "-c", "b.c", "-o", "b.o" } } }));
}

// A missing or empty file is a fresh start; one that a killed run left is
// read up to its last complete entry, and completed.
TEST_F(E2e, AppendStartsFromWhatTheFileHolds)
{
	const std::vector<std::string> cc_b = { "cc", "-c", "b.c", "-o",
	    "/dev/null" };
	std::vector<db_entry> full;

	spew(path("b.c"), b_source);
	run_result r = run_in(dir, traced({ "sh", "-c",
	    "cc -c a.c -o /dev/null; cc -c b.c -o /dev/null" }));
	ASSERT_TRUE(exited_with(r, 0)) << describe(r);
	ASSERT_NO_FATAL_FAILURE(read_db(dir, &full));
	ASSERT_EQ(full.size(), 2u);
	std::string text = slurp(path("compile_commands.json"));
	const db_entry b = { dir, path("b.c"), cc_b };
	const struct {
		const char *what;
		bool there;
		std::string text;
		const char *err;
		std::vector<db_entry> db;
	} cases[] = {
		{ "missing", false, "", "", { b } },
		{ "empty", true, "", "", { b } },
		{ "cut short", true, text.substr(0, text.rfind("\"arguments\"")),
		    "cctrace: compile_commands.json was left unfinished; its "
		    "entries are kept up to its last complete one\n",
		    { full[0], b } },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::vector<db_entry> db;

		unlink(path("compile_commands.json").c_str());
		if (c.there)
			spew(path("compile_commands.json"), c.text);
		r = run_in(dir, tool({ "-a" }, cc_b));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.err, c.err);
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		EXPECT_EQ(db, c.db);
	}
}

// A file that is no database ends the tool before the build, untouched.
TEST_F(E2e, AppendLeavesWhatIsNoDatabaseUntouched)
{
	const struct {
		const char *what;
		const char *text;
		const char *why;
	} cases[] = {
		{ "a C file", "int main(void) { return 0; }\n",
		    "it is not a JSON array" },
		{ "CMake's layout", "[\n{\n  \"directory\": \"/w\",\n"
		    "  \"command\": \"/usr/bin/cc -c a.c\",\n"
		    "  \"file\": \"/w/a.c\"\n}\n]\n",
		    "entry 1 on line 2 has no \"arguments\" array of strings" },
		{ "a broken entry in a closed array", "[\n{\"directory\": \"/w\", "
		    "\"file\": \"/w/a.c\", \"arguments\": [\"cc\" \"a.c\"]}\n]",
		    "invalid JSON on line 2" },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		spew(path("compile_commands.json"), c.text);
		make_old(path("compile_commands.json"));
		run_result r = run_in(dir, tool({ "-a" }, { "touch", "ran" }));

		EXPECT_TRUE(exited_with(r, 1)) << describe(r);
		EXPECT_EQ(r.err, std::string("cctrace: compile_commands.json is "
		    "not a compilation database: ") + c.why + "\n");
		EXPECT_EQ(slurp(path("compile_commands.json")), c.text);
		EXPECT_TRUE(still_old(path("compile_commands.json")));
		EXPECT_FALSE(exists(path("ran")));
	}
}

// --- --all's final file --------------------------------------------------

// No entry whose source has gone, one of identical compiles (the last, at
// its place); written again only where that changes something.
TEST_F(E2e, AllLeavesNoGoneSourceAndNoTwinEntry)
{
	const struct {
		const char *what;
		const char *script;
		std::vector<std::string> files;
		bool rewritten;
	} cases[] = {
		{ "a probe and a twin", "cc -c a.c -o /dev/null; "
		    "cc -c b.c -o /dev/null; cc -c a.c -o /dev/null; "
		    "echo 'int p;' > probe.c; cc -c probe.c -o /dev/null; "
		    "rm probe.c", { path("b.c"), path("a.c") }, true },
		{ "nothing to leave out", "cc -c a.c -o /dev/null; "
		    "cc -c b.c -o /dev/null", { path("a.c"), path("b.c") },
		    false },
	};

	spew(path("b.c"), b_source);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::vector<db_entry> db;
		struct stat sb;

		unlink(path("compile_commands.json").c_str());
		run_result r = run_in(dir, tool({ "--all" }, { "sh", "-c",
		    std::string(c.script) +
		    "; stat -c %i compile_commands.json > ino" }));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.err, "");
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		EXPECT_EQ(files_of(db), c.files);
		ASSERT_EQ(stat(path("compile_commands.json").c_str(), &sb), 0);
		EXPECT_EQ(sb.st_ino != (ino_t)atoll(slurp(path("ino")).c_str()),
		    c.rewritten);
	}
}

// --- Builds that turn on the file ----------------------------------------

// The build (as uid 65534 where the tool runs as root) deletes the file and
// puts a symbolic link to another file in its place, at the name or at the
// user's link's target, or replaces the user's link: the other file is
// untouched, and the database and the user's link are back in place.
TEST_F(E2e, LinkPlantedByTheBuildIsNotFollowed)
{
	const bool as_nobody = why_not_as_nobody().empty();
	const struct {
		const char *what;
		bool user_link;
		const char *plant;
		const char *db;
	} cases[] = {
		{ "at the name", false, "rm -f compile_commands.json; "
		    "ln -s victim/secret compile_commands.json",
		    "compile_commands.json" },
		{ "at the user's link's target", true, "rm -f out/db.json; "
		    "ln -s ../victim/secret out/db.json", "out/db.json" },
		{ "over the user's link", true, "rm -f compile_commands.json; "
		    "ln -s victim/secret compile_commands.json", "out/db.json" },
	};

	spew(path("b.c"), b_source);
	mkdir(path("victim").c_str(), 0755);
	mkdir(path("out").c_str(), 0777);
	ASSERT_EQ(chmod(path("out").c_str(), 0777), 0);
	if (as_nobody) {
		ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
	}
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::string script = std::string("cc -c a.c -o /dev/null; ") +
		    c.plant + "; cc -c b.c -o /dev/null";
		std::vector<std::string> cmd = { "sh", "-c", script };
		std::vector<db_entry> db;
		struct stat sb;

		unlink(path("compile_commands.json").c_str());
		unlink(path("out/db.json").c_str());
		spew(path("victim/secret"), "secret\n");
		ASSERT_EQ(chmod(path("victim/secret").c_str(), 0600), 0);
		if (c.user_link) {
			ASSERT_EQ(symlink("out/db.json",
			    path("compile_commands.json").c_str()), 0);
		}
		run_result r = run_in(dir, as_nobody ? traced({ "setpriv",
		    "--reuid=65534", "--regid=65534", "--clear-groups", "sh",
		    "-c", script }) : traced(cmd));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.err, "cctrace: compile_commands.json was removed or "
		    "replaced during the build; written again\n");
		EXPECT_EQ(slurp(path("victim/secret")), "secret\n");
		ASSERT_EQ(stat(path("victim/secret").c_str(), &sb), 0);
		EXPECT_EQ(sb.st_mode & 0777, 0600u);
		ASSERT_EQ(lstat(path(c.db).c_str(), &sb), 0);
		EXPECT_TRUE(S_ISREG(sb.st_mode));
		ASSERT_EQ(lstat(path("compile_commands.json").c_str(), &sb), 0);
		EXPECT_EQ(S_ISLNK(sb.st_mode), c.user_link);
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		EXPECT_EQ(files_of(db), (std::vector<std::string>{ path("a.c"),
		    path("b.c") }));
	}
}

// The build truncates the file in place, appends to it or overwrites part
// of it: the database is written again whole from the tool's copy.
TEST_F(E2e, FileAlteredByTheBuildIsWrittenAgainFromTheCopy)
{
	const std::string alterations[] = {
		": > compile_commands.json",
		"echo junk >> compile_commands.json",
		std::string("printf X | dd of=compile_commands.json bs=1 seek=5 ") +
		    "conv=notrunc 2>/dev/null",
	};

	spew(path("b.c"), b_source);
	for (const std::string &alter : alterations) {
		SCOPED_TRACE(alter);
		std::vector<db_entry> db;

		unlink(path("compile_commands.json").c_str());
		run_result r = run_in(dir, traced({ "sh", "-c",
		    "cc -c a.c -o /dev/null; " + alter +
		    "; cc -c b.c -o /dev/null" }));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.err, "cctrace: compile_commands.json was changed "
		    "during the build; written again\n");
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		EXPECT_EQ(files_of(db), (std::vector<std::string>{ path("a.c"),
		    path("b.c") }));
	}
}

// With the copy the file needs only to be writable: a user's mode-0200 file
// works, truncated by the build or not, and keeps its mode and owner.
TEST_F(E2e, WriteOnlyFileWorks)
{
	std::string why = why_not_as_nobody();
	const struct {
		const char *alter;
		const char *err;
	} cases[] = {
		{ "", "" },
		{ ": > compile_commands.json; ", "cctrace: compile_commands.json "
		    "was changed during the build; written again\n" },
	};

	if (!why.empty())
		GTEST_SKIP() << why;
	ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
	spew(path("b.c"), b_source);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.alter);
		std::vector<db_entry> db;
		struct stat sb;

		unlink(path("compile_commands.json").c_str());
		spew(path("compile_commands.json"), "old");
		ASSERT_EQ(chown(path("compile_commands.json").c_str(), 65534,
		    65534), 0);
		ASSERT_EQ(chmod(path("compile_commands.json").c_str(), 0200), 0);
		run_result r = run_in(dir, traced_as_nobody({ "sh", "-c",
		    std::string("cc -c a.c -o /dev/null; ") + c.alter +
		    "cc -c b.c -o /dev/null" }));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.err, c.err);
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		EXPECT_EQ(files_of(db), (std::vector<std::string>{ path("a.c"),
		    path("b.c") }));
		ASSERT_EQ(stat(path("compile_commands.json").c_str(), &sb), 0);
		EXPECT_EQ(sb.st_mode & 0777, 0200u);
		EXPECT_EQ(sb.st_uid, 65534u);
	}
}

}  // namespace
