// What the end-to-end tests share: running the cctrace binary on a build
// in a directory of its own, and reading back what it wrote.
#ifndef CCTRACE_TESTS_E2E_UTIL_H
#define CCTRACE_TESTS_E2E_UTIL_H

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iostream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "test-util.h"


inline const char a_source[] = "int f(void) { return 1; }\n";

struct build_options {
	int timeout_sec = 30;
	int extra_fd = -1;	// left open, without close-on-exec, for the build
	bool no_pwd = false;	// start the build without PWD in its environment
	std::string pwd;	// PWD for the build, if not its directory
	// Called once cctrace has started, with its pid (also its process
	// group), while it runs.
	std::function<void(pid_t)> meanwhile;
};

struct run_result {
	int status = -1;	// wait status of cctrace
	bool timed_out = false;
	std::string out;	// what the build wrote on standard output
	std::string err;	// standard error of cctrace and the build
};

inline std::string
slurp(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream ss;

	ss << in.rdbuf();
	return ss.str();
}

inline void
spew(const std::string &path, const std::string &text)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);

	out << text;
}

inline bool
exists(const std::string &path)
{
	struct stat sb;

	return stat(path.c_str(), &sb) == 0;
}

// The path of the program name along PATH, or "" if it is not there.
inline std::string
find_program(const char *name)
{
	const char *env = getenv("PATH");
	std::istringstream dirs(env != nullptr ? env : "/usr/bin:/bin");
	std::string d;

	while (std::getline(dirs, d, ':'))
		if (!d.empty() && access((d + "/" + name).c_str(), X_OK) == 0)
			return d + "/" + name;
	return "";
}

// Whether this kernel lets a child be traced and take a seccomp filter, as
// cctrace needs: containers often forbid one or the other.
inline bool
can_trace(std::string *why)
{
	static int state = -1;
	int st;
	pid_t pid;

	if (state < 0) {
		pid = fork();
		if (pid == 0) {
			struct sock_filter allow =
			    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
			struct sock_fprog prog = { 1, &allow };

			if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
				_exit(1);
			if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
			    syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0,
			    &prog) != 0)
				_exit(2);
			_exit(0);
		}
		state = 3;
		if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st))
			state = WEXITSTATUS(st);
	}
	if (state == 1)
		*why = "ptrace(PTRACE_TRACEME) is not permitted here";
	else if (state == 2)
		*why = "seccomp filters are not available here";
	else if (state != 0)
		*why = "cannot check for ptrace";
	return state == 0;
}

// Runs argv in dir, in a process group of its own, with PWD set to dir and
// only descriptors 0, 1, 2 (and opts.extra_fd) open; stdin is /dev/null,
// stdout and stderr are collected in files beside the build.
inline run_result
run_in(const std::string &dir, const std::vector<std::string> &argv,
    const build_options &opts = {})
{
	std::string outpath = dir + "/.stdout", errpath = dir + "/.stderr";
	run_result r;
	pid_t pid;
	int st;

	pid = fork();
	if (pid == 0) {
		std::vector<char *> args;
		int fd;

		setpgid(0, 0);
		if (chdir(dir.c_str()) != 0)
			_exit(126);
		fd = open("/dev/null", O_RDONLY);
		dup2(fd, 0);
		fd = open(outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		dup2(fd, 1);
		fd = open(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		dup2(fd, 2);
		// Descriptors inherited from the test runner (a jobserver,
		// say) would look like leaks of the tool.
		close_range(3, ~0U, 0);
		if (opts.extra_fd >= 0)
			dup2(0, opts.extra_fd);
		if (opts.no_pwd)
			unsetenv("PWD");
		else
			setenv("PWD", opts.pwd.empty() ? dir.c_str() :
			    opts.pwd.c_str(), 1);
		unsetenv("MAKEFLAGS");
		unsetenv("MFLAGS");
		unsetenv("MAKELEVEL");
		for (const std::string &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execvp(args[0], args.data());
		_exit(127);
	}
	if (pid < 0) {
		ADD_FAILURE() << "fork failed";
		return r;
	}
	if (opts.meanwhile)
		opts.meanwhile(pid);
	for (int ms = 0;; ms += 5) {
		if (waitpid(pid, &st, WNOHANG) == pid) {
			r.status = st;
			break;
		}
		if (ms >= opts.timeout_sec * 1000) {
			kill(-pid, SIGKILL);
			kill(pid, SIGKILL);
			waitpid(pid, &st, 0);
			r.timed_out = true;
			break;
		}
		struct timespec ts = { 0, 5 * 1000 * 1000 };
		nanosleep(&ts, nullptr);
	}
	r.out = slurp(outpath);
	r.err = slurp(errpath);
	unlink(outpath.c_str());
	unlink(errpath.c_str());
	return r;
}

// cctrace's argument vector for the command cmd.
inline std::vector<std::string>
traced(std::vector<std::string> cmd)
{
	cmd.insert(cmd.begin(), CCTRACE_BIN);
	return cmd;
}

inline std::string
describe(const run_result &r)
{
	std::ostringstream s;

	if (r.timed_out)
		s << "timed out (killed)";
	else if (WIFEXITED(r.status))
		s << "exited " << WEXITSTATUS(r.status);
	else if (WIFSIGNALED(r.status))
		s << "killed by signal " << WTERMSIG(r.status);
	s << "; stderr: \"" << r.err << "\"; stdout: \"" << r.out << "\"";
	return s.str();
}

inline bool
exited_with(const run_result &r, int code)
{
	return !r.timed_out && WIFEXITED(r.status) &&
	    WEXITSTATUS(r.status) == code;
}

// Reads dir/compile_commands.json: it must be a closed array in the
// tool's framing, of objects with exactly the three keys.
inline void
read_db(const std::string &dir, std::vector<db_entry> *entries)
{
	std::string text = slurp(dir + "/compile_commands.json");

	entries->clear();
	ASSERT_GE(text.size(), 4u) << "file: \"" << text << "\"";
	ASSERT_EQ(text.substr(0, 2), "[\n") << text;
	ASSERT_EQ(text.substr(text.size() - 2), "\n]")
	    << "array not closed: \"" << text << "\"";
	ASSERT_TRUE(parse_db(text, entries)) << "not a database: \"" << text
	    << "\"";
}

// Whether uid 65534 can run path.
inline bool
nobody_can_run(const char *path)
{
	pid_t pid;
	int st;

	pid = fork();
	if (pid == 0) {
		if (setgroups(0, nullptr) != 0 ||
		    setresgid(65534, 65534, 65534) != 0 ||
		    setresuid(65534, 65534, 65534) != 0)
			_exit(1);
		_exit(access(path, X_OK) == 0 ? 0 : 1);
	}
	return pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st) &&
	    WEXITSTATUS(st) == 0;
}

inline int
remove_one(const char *path, const struct stat *, int, struct FTW *)
{
	return remove(path);
}

// A program that uid 65534 can run: program itself, or a copy of it in a
// directory of this test process's that everyone may enter, as the build
// tree may sit where only root can (/root is 0700 on Debian).  "" if no
// copy can be made.
inline std::string
runnable_by_nobody(const char *program)
{
	static std::string dir;

	if (nobody_can_run(program))
		return program;
	if (dir.empty()) {
		char tmpl[] = "/tmp/cctrace-nobody-XXXXXX";

		if (mkdtemp(tmpl) == nullptr || chmod(tmpl, 0755) != 0)
			return "";
		dir = tmpl;
		atexit([] {
			nftw(dir.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
		});
	}
	std::string copy = dir + "/" +
	    std::string(program).substr(std::string(program).rfind('/') + 1);
	std::ifstream in(program, std::ios::binary);
	std::ofstream out(copy, std::ios::binary | std::ios::trunc);

	out << in.rdbuf();
	out.close();
	if (!in || !out || chmod(copy.c_str(), 0755) != 0 ||
	    !nobody_can_run(copy.c_str()))
		return "";
	return copy;
}

// The state letter of /proc/PID/stat, or 0 once the process is gone.
inline char
proc_state(pid_t pid)
{
	std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
	size_t paren = stat.rfind(')');

	return paren == std::string::npos || paren + 2 >= stat.size() ? 0 :
	    stat[paren + 2];
}

// Waits up to ms milliseconds for cond.
inline bool
eventually(int ms, const std::function<bool()> &cond)
{
	for (; ms > 0; ms -= 10) {
		if (cond())
			return true;
		usleep(10000);
	}
	return cond();
}

class E2e : public ::testing::Test {
protected:
	std::string dir;

	void
	SetUp() override
	{
		std::string why;
		char tmpl[] = "/tmp/cctrace-e2e-XXXXXX";
		char *real;

		if (!can_trace(&why))
			GTEST_SKIP() << why;
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		real = realpath(tmpl, nullptr);
		ASSERT_NE(real, nullptr);
		dir = real;
		free(real);
		spew(dir + "/a.c", a_source);
	}

	void
	TearDown() override
	{
		if (!dir.empty())
			nftw(dir.c_str(), remove_one, 16,
			    FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
	}

	std::string
	path(const std::string &name) const
	{
		return dir + "/" + name;
	}

	// The one entry that `cc -c a.c ...` in dir leaves.
	void
	expect_a_c(const db_entry &e, const std::vector<std::string> &args)
	{
		EXPECT_EQ(e.directory, dir);
		EXPECT_EQ(e.file, path("a.c"));
		EXPECT_EQ(e.arguments, args);
	}
};

inline const std::vector<std::string> cc_a = { "cc", "-c", "a.c", "-o",
    "/dev/null" };

// Why the tests as an ordinary user cannot run here, or "".
inline std::string
why_not_as_nobody(void)
{
	if (geteuid() != 0)
		return "needs root to become uid 65534";
	if (access("/usr/bin/setpriv", X_OK) != 0)
		return "setpriv is not installed";
	if (runnable_by_nobody(CCTRACE_BIN).empty())
		return "cannot make a copy of " CCTRACE_BIN
		    " that uid 65534 can run";
	return "";
}

// cctrace's argument vector for the command cmd, run as uid 65534.
inline std::vector<std::string>
traced_as_nobody(const std::vector<std::string> &cmd)
{
	std::vector<std::string> v = { "setpriv", "--reuid=65534",
	    "--regid=65534", "--clear-groups", runnable_by_nobody(CCTRACE_BIN) };

	v.insert(v.end(), cmd.begin(), cmd.end());
	return v;
}

#endif
