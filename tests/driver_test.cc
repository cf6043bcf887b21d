#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "compdb/compdb.h"
#include "driver/driver.h"
#include "platform-fake.h"
#include "test-util.h"

namespace {

constexpr pid_t PID = 100;
constexpr lwpid_t LWP = 100100;

// Each test runs the driver in a child of its own (it keeps its state to
// the end of the process), in a directory of its own.
struct driver : testing::Test {
	std::string dir;
	char name[8] = "cctrace";
	char cmd[5] = "make";
	char *argv[3] = { name, cmd, nullptr };

	void SetUp() override
	{
		char d[] = "/tmp/driver_test.XXXXXX";
		ASSERT_NE(mkdtemp(d), nullptr);
		dir = d;
		ASSERT_EQ(chdir(dir.c_str()), 0);
		fake_reset();
		fake.vfork_pid = PID;
		fake.lwplists[PID] = { LWP };
		fake.lwps[LWP] = lwp_info{ LWP, 0, 0, 0 };
		fake.sv_names[PID] = "FreeBSD ELF64";
	}
	void TearDown() override
	{
		unlink((dir + "/" DB_FILE_NAME).c_str());
		unlink((dir + "/x.c").c_str());
		EXPECT_EQ(chdir("/"), 0);
		rmdir(dir.c_str());
	}
	std::string db()
	{
		std::ifstream f(dir + "/" DB_FILE_NAME);
		EXPECT_TRUE(f.good());
		std::stringstream s;
		s << f.rdbuf();
		return s.str();
	}
};

// The platform calls the child made, for the parent to match.
void
report_and_exit(int status)
{
	for (auto &k : fake.kills)
		fprintf(stderr, "kill %d %d\n", k.first, k.second);
	for (auto &d : fake.detaches)
		fprintf(stderr, "detach %d %lu %d\n", d.pid,
		    (unsigned long)d.address, d.sig);
	for (auto &s : fake.syscalls)
		fprintf(stderr, "resume %d %d\n", s.first, s.second);
	exit(status);
}

TEST_F(driver, NoArgumentIsAUsageError)
{
	EXPECT_EXIT(run_driver(1, argv + 1), testing::ExitedWithCode(1),
	    "^usage: cctrace \\[option \\.\\.\\.\\] \\[--\\] command");
}

TEST_F(driver, UnsupportedAbiOfStartedCommand)
{
	fake.sv_names[PID] = "Linux a.out";
	EXPECT_EXIT(report_and_exit(run_driver(2, argv)),
	    testing::ExitedWithCode(1),
	    ": ABI Linux a.out for pid 100 is not supported\n"
	    "kill 100 9\ndetach 100 0 0\n$");
	EXPECT_NE(access(DB_FILE_NAME, F_OK), 0);
}

// Killed at its first stop: the file stays as it was.
TEST_F(driver, UnsupportedAbiLeavesAnExistingFileAsItWas)
{
	std::ofstream(dir + "/" DB_FILE_NAME) << "[\n\n]";
	fake.sv_names[PID] = "Linux a.out";
	EXPECT_EXIT(report_and_exit(run_driver(2, argv)),
	    testing::ExitedWithCode(1), "ABI Linux a.out for pid 100 is not "
	    "supported\n");
	EXPECT_EQ(db(), "[\n\n]");
}

TEST_F(driver, NormalRun)
{
	fclose(fopen((dir + "/x.c").c_str(), "w"));
	fake_script_exec(PID, LWP, 10 * FAKE_PAGE, 8, "/usr/bin/cc",
	    { "cc", "-c", "x.c" }, { "PWD=" + dir });
	fake_wait_trap(PID, SIGTRAP, LWP, PL_FLAG_SCE, 59, 3);
	fake_wait_trap(PID, SIGTRAP, LWP, PL_FLAG_SCX | PL_FLAG_EXEC, 59, 3);
	fake_wait_exit(PID);
	EXPECT_EXIT(report_and_exit(run_driver(2, argv)),
	    testing::ExitedWithCode(0),
	    "^resume 100 0\nresume 100 0\nresume 100 0\n$");
	std::vector<db_entry> entries;
	ASSERT_TRUE(parse_db(db(), &entries)) << db();
	EXPECT_EQ(entries, (std::vector<db_entry>{ { dir, dir + "/x.c",
	    { "cc", "-c", "x.c" } } }));
}

TEST_F(driver, RunWithoutCompilations)
{
	fake_wait_exit(PID);
	EXPECT_EXIT(report_and_exit(run_driver(2, argv)),
	    testing::ExitedWithCode(0), "^resume 100 0\n$");
	std::vector<db_entry> entries;
	ASSERT_TRUE(parse_db(db(), &entries)) << db();
	EXPECT_TRUE(entries.empty());
}

}
