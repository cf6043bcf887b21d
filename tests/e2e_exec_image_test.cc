// End-to-end: an entry records what the kernel executed, whatever another
// thread of the caller changes between the exec's entry and the kernel's
// copy; and an exec that comes without an entry stop is recorded too.
#include "e2e-util.h"

#include <map>

namespace {

// What reportcc got in one run: its directory and its vector.
struct report {
	std::string directory;
	std::vector<std::string> argv;
};

// The "-DRUN=N" argument that flip_exec gives each run.
std::string
run_of(const std::vector<std::string> &argv)
{
	for (const std::string &a : argv)
		if (a.starts_with("-DRUN="))
			return a;
	return "";
}

std::map<std::string, report>
read_reports(const std::string &path)
{
	std::map<std::string, report> reports;
	std::istringstream lines(slurp(path));
	std::string line, field;

	while (std::getline(lines, line)) {
		std::istringstream fields(line);
		report r;

		std::getline(fields, r.directory, '\t');
		while (std::getline(fields, field, '\t'))
			r.argv.push_back(field);
		reports[run_of(r.argv)] = r;
	}
	return reports;
}

// A thread of the caller keeps changing an argument, the program name or
// the working directory while another execs the compiler (reportcc, which
// says what it got): every entry is that of a run, as the run got it, in
// both modes.  Where the program name the entry saw was not a compiler's,
// the run is not examined at all: those are missing, not wrong.
TEST_F(E2e, EntriesNameWhatTheCompilerGot)
{
	const int runs = 100;
	const struct {
		const char *mode;
		std::string a, b;
		bool all_recorded;
	} races[] = {
		{ "arg", "a.c", "b.c", true },
		{ "name", "cc", "xx", false },
		{ "dir", path("one"), path("two"), true },
	};

	spew(path("b.c"), a_source);
	for (const char *d : { "one", "two" }) {
		mkdir(path(d).c_str(), 0755);
		spew(path(d) + "/a.c", a_source);
	}
	setenv("REPORT_LOG", path("report").c_str(), 1);
	for (const auto &race : races) {
		for (bool all : { false, true }) {
			SCOPED_TRACE(std::string(race.mode) +
			    (all ? " --all" : ""));
			std::vector<std::string> cmd = { E2E_FLIP_EXEC,
			    race.mode, std::to_string(runs), race.a, race.b,
			    E2E_REPORTCC, "cc", "-c", "a.c" };
			std::vector<db_entry> db;

			if (all)
				cmd.insert(cmd.begin(), "--all");
			unlink(path("report").c_str());
			run_result r = run_in(dir, traced(cmd));

			ASSERT_TRUE(exited_with(r, 0)) << describe(r);
			EXPECT_EQ(r.out, "ok " + std::to_string(runs) + "\n");
			ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
			std::map<std::string, report> got =
			    read_reports(path("report"));
			ASSERT_EQ(got.size(), (size_t)runs);
			if (race.all_recorded) {
				EXPECT_EQ(db.size(), (size_t)runs);
			} else {
				EXPECT_GT(db.size(), 0u);
			}
			int wrong = 0;
			for (const db_entry &e : db) {
				const report &rep = got[run_of(e.arguments)];
				if (e.arguments != rep.argv ||
				    e.directory != rep.directory ||
				    e.file != rep.directory + "/" + rep.argv[2])
					wrong++;
			}
			EXPECT_EQ(wrong, 0) << "of " << db.size() << " entries";
		}
	}
	unsetenv("REPORT_LOG");
}

// A build that hands its execve to a seccomp supervisor of its own
// (SECCOMP_RET_USER_NOTIF outranks the tool's filter) runs its compilers
// with no entry stop: they are known at the exec's end.
TEST_F(E2e, ExecsHandedToASupervisorAreRecorded)
{
	run_result probe = run_in(dir, { E2E_NOTIF_EXEC, "true" });
	if (exited_with(probe, 3))
		GTEST_SKIP() << "no seccomp supervisors here: " << probe.err;
	ASSERT_TRUE(exited_with(probe, 0)) << describe(probe);

	spew(path("b.c"), a_source);
	for (bool all : { false, true }) {
		SCOPED_TRACE(all ? "--all" : "default rules");
		std::vector<std::string> cmd = { E2E_NOTIF_EXEC, "sh", "-c",
		    "cc -c a.c -o /dev/null && cc -c b.c -o b.o && touch done" };
		std::vector<db_entry> db;

		if (all)
			cmd.insert(cmd.begin(), "--all");
		unlink(path("done").c_str());
		run_result r = run_in(dir, traced(cmd));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_TRUE(exists(path("done")));
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		db_entry b = { dir, path("b.c"), { "cc", "-c", "b.c", "-o",
		    "b.o" }, all ? "b.o" : "" };
		EXPECT_EQ(db, (std::vector<db_entry>{ { dir, path("a.c"),
		    cc_a, all ? "/dev/null" : "" }, b }));
	}
}

}  // namespace
