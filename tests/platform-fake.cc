// The scripted platform: every call of platform.h answered from the script
// in `fake` and logged where a test needs to see it.
#include "platform-fake.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

fake_platform fake;

void
fake_reset(void)
{
	fake = fake_platform();
}

void
fake_wait_trap(pid_t pid, int status, lwpid_t lwpid, int flags,
    unsigned int code, unsigned int narg)
{
	fake.waits.push_back(fake_wait{ 0, 0, CLD_TRAPPED, pid, status,
	    lwp_info{ lwpid, flags, code, narg } });
}

void
fake_wait_exit(pid_t pid, int code)
{
	fake.waits.push_back(fake_wait{ 0, 0, code, pid, 0, lwp_info{} });
}

void
fake_wait_error(int err)
{
	fake.waits.push_back(fake_wait{ -1, err, 0, 0, 0, lwp_info{} });
}

void
fake_write(pid_t pid, uint64_t address, const void *data, size_t len)
{
	const unsigned char *p = static_cast<const unsigned char *>(data);

	for (size_t i = 0; i < len; i++) {
		uint64_t a = address + i;
		auto &pages = fake.memory[pid];
		auto it = pages.find(a - a % FAKE_PAGE);

		if (it == pages.end())
			it = pages.emplace(a - a % FAKE_PAGE, fake_page{}).first;
		it->second[a % FAKE_PAGE] = p[i];
	}
}

void
fake_write_string(pid_t pid, uint64_t address, const std::string &s)
{
	fake_write(pid, address, s.c_str(), s.size() + 1);
}

void
fake_write_pointers(pid_t pid, uint64_t address,
    const std::vector<uint64_t> &pointers, size_t pointer_size)
{
	for (size_t i = 0; i < pointers.size(); i++) {
		if (pointer_size == 4) {
			uint32_t w = (uint32_t)pointers[i];
			fake_write(pid, address + i * 4, &w, 4);
		} else
			fake_write(pid, address + i * 8, &pointers[i], 8);
	}
}

void
fake_unmap(pid_t pid, uint64_t address)
{
	fake.memory[pid].erase(address - address % FAKE_PAGE);
}

void
fake_cwd(pid_t pid, const std::string &path, const std::string &name)
{
	proc_cwd_info cwd{};
	struct stat sb;

	if (stat(path.c_str(), &sb) == -1)
		ADD_FAILURE() << "fake_cwd: no " << path;
	cwd.dev = sb.st_dev;
	cwd.ino = sb.st_ino;
	snprintf(cwd.path, sizeof(cwd.path), "%s", name.c_str());
	cwd.own_view = true;
	fake.cwds[pid] = cwd;
}

void
fake_script_exec(pid_t pid, lwpid_t lwp, uint64_t base, size_t pointer_size,
    const std::string &path, const std::vector<std::string> &argv,
    const std::vector<std::string> &envp)
{
	uint64_t at = base + 3 * FAKE_PAGE;
	auto strings = [&](const std::vector<std::string> &v) {
		std::vector<uint64_t> ptrs;
		for (auto &s : v) {
			fake_write_string(pid, at, s);
			ptrs.push_back(at);
			at += s.size() + 1;
		}
		ptrs.push_back(0);
		return ptrs;
	};

	fake_write_string(pid, base, path);
	fake_write_pointers(pid, base + FAKE_PAGE, strings(argv), pointer_size);
	fake_write_pointers(pid, base + 2 * FAKE_PAGE, strings(envp),
	    pointer_size);
	fake.sc_args[lwp] = { base, base + FAKE_PAGE, base + 2 * FAKE_PAGE };
}

int
pt_trace_me(void)
{
	ADD_FAILURE() << "pt_trace_me: the fake never forks";
	return -1;
}

int
pt_follow_fork(pid_t)
{
	errno = ESRCH;
	return fake.follow_fork_result;
}

int
pt_lwp_events(pid_t)
{
	errno = ESRCH;
	return fake.lwp_events_result;
}

int
pt_getnumlwps(pid_t pid)
{
	auto it = fake.lwplists.find(pid);

	fake.getnumlwps_calls++;
	if (it == fake.lwplists.end()) {
		errno = ESRCH;
		return -1;
	}
	return (int)it->second.size();
}

int
pt_getlwplist(pid_t pid, lwpid_t *list, int n)
{
	auto it = fake.lwplists.find(pid);
	int count = 0;

	if (it == fake.lwplists.end()) {
		errno = ESRCH;
		return -1;
	}
	for (lwpid_t lwp : it->second) {
		if (count == n)
			break;
		list[count++] = lwp;
	}
	return count;
}

int
pt_lwpinfo(lwpid_t id, lwp_info *info)
{
	if (fake.stopped_pid != 0 && id == fake.stopped_pid) {
		*info = fake.stopped_lwp;
		return 0;
	}
	auto it = fake.lwps.find(id);
	if (it == fake.lwps.end()) {
		errno = ESRCH;
		return -1;
	}
	*info = it->second;
	return 0;
}

int
pt_get_sc_args(lwpid_t lwpid, uint64_t *args, size_t n)
{
	auto it = fake.sc_args.find(lwpid);

	fake.sc_args_calls++;
	if (fake.sc_args_result != 0)
		return fake.sc_args_result;
	if (it == fake.sc_args.end()) {
		errno = ESRCH;
		return -1;
	}
	for (size_t i = 0; i < n && i < it->second.size(); i++)
		args[i] = it->second[i];
	return 0;
}

int
pt_read_d(pid_t pid, uint64_t address, void *buffer, size_t length)
{
	fake.reads.push_back(fake_read{ pid, address, length });
	if (address % FAKE_PAGE + length > FAKE_PAGE) {
		ADD_FAILURE() << "read of " << length << " bytes at 0x"
		    << std::hex << address << " crosses a page";
		return -1;
	}
	auto pages = fake.memory.find(pid);
	if (pages == fake.memory.end())
		return -1;
	auto page = pages->second.find(address - address % FAKE_PAGE);
	if (page == pages->second.end()) {
		errno = EFAULT;
		return -1;
	}
	memcpy(buffer, page->second.data() + address % FAKE_PAGE, length);
	return 0;
}

int
pt_syscall(pid_t pid, int sig)
{
	fake.syscalls.emplace_back(pid, sig);
	return 0;
}

int
pt_detach(pid_t pid, uintptr_t address, int sig)
{
	fake.detaches.push_back(fake_detach{ pid, address, sig });
	return fake.detach_result;
}

int
wait_traced(siginfo_t *si)
{
	if (fake.waits.empty()) {
		// A kernel with nothing left to report: no child is left.
		errno = ECHILD;
		return -1;
	}
	fake_wait w = fake.waits.front();
	fake.waits.pop_front();
	fake.stopped_pid = 0;
	if (w.ret == -1) {
		errno = w.err;
		return -1;
	}
	memset(si, 0, sizeof(*si));
	si->si_signo = SIGCHLD;
	si->si_code = w.code;
	si->si_pid = w.pid;
	si->si_status = w.status;
	if (w.code == CLD_TRAPPED) {
		fake.stopped_pid = w.pid;
		fake.stopped_lwp = w.lwp;
	}
	return 0;
}

int
proc_sv_name(pid_t pid, char *name, size_t len)
{
	auto it = fake.sv_names.find(pid);

	if (it == fake.sv_names.end()) {
		errno = ESRCH;
		return -1;
	}
	if (it->second.size() + 1 > len) {
		errno = ENOMEM;
		return -1;
	}
	memcpy(name, it->second.c_str(), it->second.size() + 1);
	return 0;
}

int
proc_stop_needs_detach(pid_t pid, int sig)
{
	auto it = fake.stop_answers.find(pid);

	fake.stop_questions.emplace_back(pid, sig);
	if (it == fake.stop_answers.end())
		return 0;
	if (it->second == -1)
		errno = ESRCH;
	return it->second;
}

int
proc_cwd(pid_t pid, lwpid_t, proc_cwd_info *cwd)
{
	auto it = fake.cwds.find(pid);

	fake.cwd_calls++;
	if (it == fake.cwds.end()) {
		errno = ESRCH;
		return -1;
	}
	*cwd = it->second;
	return 0;
}

char *
proc_image_strings(pid_t pid, int which, size_t *len)
{
	auto it = fake.images.find(pid);
	std::string strings;

	fake.image_reads++;
	if (it == fake.images.end()) {
		errno = ESRCH;
		return nullptr;
	}
	for (const std::string &s : it->second[which])
		strings.append(s.c_str(), s.size() + 1);
	char *buf = static_cast<char *>(malloc(strings.size() + 1));
	memcpy(buf, strings.data(), strings.size());
	*len = strings.size();
	return buf;
}

pid_t
proc_parent(pid_t pid)
{
	auto it = fake.parents.find(pid);

	fake.parent_calls++;
	return it != fake.parents.end() ? it->second : -1;
}

const exec_arg_limits *
proc_exec_limits(void)
{
	return &fake.exec_limits;
}

// Paths are looked up under the root's prefix, as the test sets it.
int
proc_stat(const proc_cwd_info *cwd, const char *path, struct stat *sb)
{
	return stat((std::string(cwd->abs_prefix) + path).c_str(), sb);
}

pid_t
proc_vfork(void)
{
	// 0 would send the caller down the child's path, in the test itself.
	if (fake.vfork_pid == 0)
		ADD_FAILURE() << "proc_vfork: no pid scripted";
	if (fake.vfork_pid <= 0) {
		errno = EAGAIN;
		return -1;
	}
	return fake.vfork_pid;
}

pid_t
proc_waitpid(pid_t pid)
{
	fake.waitpids.push_back(pid);
	if (fake.waitpid_result != 0) {
		errno = ECHILD;
		return fake.waitpid_result;
	}
	return pid;
}

int
proc_kill(pid_t pid, int sig)
{
	fake.kills.emplace_back(pid, sig);
	return 0;
}
