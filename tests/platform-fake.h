// A scripted stand-in for the kernel: tests say what each platform call
// returns and read back what the tracer asked for.
#ifndef CCTRACE_TESTS_PLATFORM_FAKE_H
#define CCTRACE_TESTS_PLATFORM_FAKE_H

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tracer/platform.h"

#define FAKE_PAGE 4096

// One result of wait_traced.  ret -1 fails with errno err (EINTR for an
// interrupted wait); past the script, waits fail with ECHILD.  A trapped stop carries the record pt_lwpinfo returns
// for si_pid until the next wait.
struct fake_wait {
	int ret;
	int err;
	int code;	// si_code
	pid_t pid;	// si_pid
	int status;	// si_status
	lwp_info lwp;
};

struct fake_read {
	pid_t pid;
	uint64_t address;
	size_t length;
	bool operator==(const fake_read &) const = default;
};

typedef std::array<unsigned char, FAKE_PAGE> fake_page;

struct fake_detach {
	pid_t pid;
	uintptr_t address;
	int sig;
	bool operator==(const fake_detach &) const = default;
};

struct fake_platform {
	std::deque<fake_wait> waits;
	// The stop being handled: pt_lwpinfo(stopped_pid) answers stopped_lwp.
	pid_t stopped_pid;
	lwp_info stopped_lwp;
	// pt_lwpinfo by LWP id, for the threads add_threads walks.
	std::map<lwpid_t, lwp_info> lwps;
	// LWP ids per pid; a pid without a list fails both LWP requests.
	std::map<pid_t, std::vector<lwpid_t>> lwplists;
	int follow_fork_result;
	int lwp_events_result;
	// System-call arguments per LWP; sc_args_result replaces success.
	std::map<lwpid_t, std::vector<uint64_t>> sc_args;
	int sc_args_result;
	int sc_args_calls;
	int getnumlwps_calls;
	// Tracee memory: pages by page address, per pid.
	std::map<pid_t, std::map<uint64_t, fake_page>> memory;
	std::vector<fake_read> reads;
	// ABI names per pid; a pid without one fails the sysctl.
	std::map<pid_t, std::string> sv_names;
	// Working directories per pid; a pid without one fails the sysctl.
	std::map<pid_t, proc_cwd_info> cwds;
	int cwd_calls;
	pid_t vfork_pid;
	pid_t waitpid_result;	// 0: the pid asked for
	std::vector<pid_t> waitpids;
	std::vector<std::pair<pid_t, int>> syscalls;		// pid, signal
	std::vector<fake_detach> detaches;
	int detach_result;
	// proc_stop_needs_detach's answers per pid (0 for others), and the
	// questions asked: pid, signal.
	std::map<pid_t, int> stop_answers;
	std::vector<std::pair<pid_t, int>> stop_questions;
	std::vector<std::pair<pid_t, int>> kills;		// pid, signal
	// The vectors of the image each pid runs after its exec, by
	// PROC_IMAGE_ARGS and PROC_IMAGE_ENV; a pid without them fails.
	std::map<pid_t, std::array<std::vector<std::string>, 2>> images;
	int image_reads;
	// proc_parent's answers; -1 for others.
	std::map<pid_t, pid_t> parents;
	int parent_calls;
	// FreeBSD/amd64's, unless a test sets others.
	exec_arg_limits exec_limits = { 512 * 1024, 512 * 1024, 0 };
};

extern fake_platform fake;

void fake_reset(void);

// Scripted wait results.
void fake_wait_trap(pid_t pid, int status, lwpid_t lwpid, int flags,
    unsigned int code = 0, unsigned int narg = 0);
void fake_wait_exit(pid_t pid, int code = CLD_EXITED);
void fake_wait_error(int err);

// Tracee memory: writes map the pages they touch.
void fake_write(pid_t pid, uint64_t address, const void *data, size_t len);
void fake_write_string(pid_t pid, uint64_t address, const std::string &s);
void fake_write_pointers(pid_t pid, uint64_t address,
    const std::vector<uint64_t> &pointers, size_t pointer_size);
void fake_unmap(pid_t pid, uint64_t address);
// Makes the directory at path, as the tool sees it, the working directory
// of pid, named as name ("" for no name).
void fake_cwd(pid_t pid, const std::string &path, const std::string &name);
// Lays out an execve's path, argv and envp from base on (four pages) and
// scripts them as the system-call arguments of lwp.
void fake_script_exec(pid_t pid, lwpid_t lwp, uint64_t base,
    size_t pointer_size, const std::string &path,
    const std::vector<std::string> &argv,
    const std::vector<std::string> &envp);

#endif
