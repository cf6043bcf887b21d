// What the Linux backend reads in /proc: the thread group of a task, which
// tells a new process from a new thread, the working directory of a task,
// and the ELF header of the program a task runs.  /proc must be that of the
// tool's own pid namespace: in another the ids the kernel gives the tracer
// name other tasks, or none.
#include <sys/stat.h>
#include <sys/syscall.h>

#include <linux/openat2.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <err.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

#include "tracer/platform-linux.h"

// The numbers in fields[0 .. n - 1] ("Tgid", "PPid") of the status file at
// path, read at once into values; -1 with errno.
static int
status_fields(const char *path, const char *const fields[], long values[],
    int n)
{
	char buf[512], key[16];
	ssize_t len;
	int fd;

	if ((fd = open(path, O_RDONLY | O_CLOEXEC)) == -1)
		return -1;
	len = read(fd, buf, sizeof(buf) - 1);
	close(fd);
	if (len == -1)
		return -1;
	buf[len] = '\0';
	for (int i = 0; i < n; i++) {
		snprintf(key, sizeof(key), "\n%s:", fields[i]);
		const char *p = strstr(buf, key);
		if (p == nullptr) {
			errno = EINVAL;
			return -1;
		}
		values[i] = strtol(p + strlen(key), nullptr, 10);
	}
	return 0;
}

void
linux_check_proc(void)
{
	const char *path = "/proc/self/status";
	const char *const fields[] = { "Pid" };
	long pid;

	if (status_fields(path, fields, &pid, 1) == -1)
		errx(1, "cannot trace without /proc: %s: %s", path,
		    strerror(errno));
	if (pid != (long)getpid())
		errx(1, "cannot trace with the /proc of another pid namespace: "
		    "%s gives pid %ld, not %ld", path, pid, (long)getpid());
}

pid_t
linux_tgid(pid_t tid, pid_t *ppid)
{
	const char *const fields[] = { "Tgid", "PPid" };
	char path[64];
	long values[2];

	snprintf(path, sizeof(path), "/proc/%ld/status", (long)tid);
	// The task is stopped, so its entry is there: its entry stays until
	// the tracer has collected its end.
	if (status_fields(path, fields, values, 2) == -1)
		err(1, "cannot tell the process of task %ld from %s", (long)tid,
		    path);
	*ppid = (pid_t)values[1];
	return (pid_t)values[0];
}

// The target of one of a task's /proc links, or "" if it has none that fits.
static void
read_proc_link(pid_t tid, const char *name, char *buf, size_t size)
{
	char link[64];
	ssize_t n;

	snprintf(link, sizeof(link), "/proc/%ld/%s", (long)tid, name);
	n = readlink(link, buf, size);
	if (n <= 0 || (size_t)n >= size)
		n = 0;
	buf[n] = '\0';
}

// Whether the file at path is the one that ours describes.
static bool
is_file(const char *path, const struct stat *ours)
{
	struct stat sb;

	return stat(path, &sb) == 0 && sb.st_dev == ours->st_dev &&
	    sb.st_ino == ours->st_ino;
}

// Whether task tid, whose root is at root, has the tool's root and mount
// namespace: then the paths it names lead to the same files for the tool.
static bool
same_view(pid_t tid, const char *root)
{
	// The tool changes neither.
	static struct stat own_root, own_ns;
	static int known = -1;
	char ns[64];

	if (known == -1)
		known = stat("/", &own_root) == 0 &&
		    stat("/proc/self/ns/mnt", &own_ns) == 0;
	snprintf(ns, sizeof(ns), "/proc/%ld/ns/mnt", (long)tid);
	return known == 1 && is_file(root, &own_root) && is_file(ns, &own_ns);
}

// The working directory of the stopped task tid, through /proc: its
// identity even where no path the tool can reach names it, and its path as
// the task names it, inside the root it may have changed to.  Its files are
// looked up from that root (linux_stat_in_root), so that a build in a chroot
// or another mount namespace is seen as it sees itself.
int
linux_cwd(pid_t tid, proc_cwd_info *cwd)
{
	char root[PATH_MAX];
	struct stat sb;

	snprintf(cwd->rel_prefix, sizeof(cwd->rel_prefix), "/proc/%ld/cwd/",
	    (long)tid);
	snprintf(cwd->abs_prefix, sizeof(cwd->abs_prefix), "/proc/%ld/root",
	    (long)tid);
	if (stat(cwd->rel_prefix, &sb) == -1)
		return -1;
	cwd->dev = sb.st_dev;
	cwd->ino = sb.st_ino;

	read_proc_link(tid, "cwd", cwd->path, sizeof(cwd->path));
	read_proc_link(tid, "root", root, sizeof(root));
	std::string_view path(cwd->path), top(root);
	if (top != "/" && path.starts_with(top) &&
	    (path.size() == top.size() || path[top.size()] == '/')) {
		path.remove_prefix(top.size());
		memmove(cwd->path, path.data(), path.size());
		cwd->path[path.size()] = '\0';
		if (path.empty())
			strcpy(cwd->path, "/");
	}
	// A path that does not lead back to the directory (it was removed,
	// or lies outside the task's root) names nothing.
	std::string check = std::string(cwd->abs_prefix) + cwd->path;
	if (cwd->path[0] != '/' || stat(check.c_str(), &sb) == -1 ||
	    sb.st_dev != cwd->dev || sb.st_ino != cwd->ino)
		cwd->path[0] = '\0';
	cwd->own_view = same_view(tid, cwd->abs_prefix);
	return 0;
}

// Whether openat2 is there (Linux 5.6 and later), until it says it is not.
static bool have_openat2 = true;

// The path is resolved with the task's root as the root, through a
// descriptor of it.  Without openat2 it is looked up under the root's /proc
// link instead, where an absolute symbolic link leads into the tool's own
// root.
int
linux_stat_in_root(const proc_cwd_info *cwd, const char *path,
    struct stat *sb)
{
	if (have_openat2) {
		struct open_how how = {};
		int root, fd, saved, tries = 0;

		how.flags = O_PATH | O_CLOEXEC;
		how.resolve = RESOLVE_IN_ROOT;
		root = open(cwd->abs_prefix, O_PATH | O_DIRECTORY | O_CLOEXEC);
		if (root == -1)
			return -1;
		// EAGAIN: a rename raced with a "..", which might have left
		// the root.
		do
			fd = (int)syscall(SYS_openat2, root, path, &how,
			    sizeof(how));
		while (fd == -1 && errno == EAGAIN && ++tries < 10);
		saved = errno;
		close(root);
		if (fd != -1) {
			int rc = fstat(fd, sb);
			close(fd);
			return rc;
		}
		if (saved == ENOSYS)
			have_openat2 = false;
		else if (saved != EPERM) {
			errno = saved;
			return -1;
		}
	}
	std::string seen = std::string(cwd->abs_prefix) + path;
	return stat(seen.c_str(), sb);
}

int
linux_exe_abi(pid_t tid, char *name, size_t len)
{
	unsigned char ident[EI_NIDENT + 4];
	char path[64];
	uint16_t machine;
	int fd, n;

	snprintf(path, sizeof(path), "/proc/%ld/exe", (long)tid);
	if ((fd = open(path, O_RDONLY | O_CLOEXEC)) == -1)
		return -1;
	n = (int)pread(fd, ident, sizeof(ident), 0);
	close(fd);
	if (n != (int)sizeof(ident) || memcmp(ident, ELFMAG, SELFMAG) != 0)
		n = snprintf(name, len, "Linux unknown");
	else {
		memcpy(&machine, ident + EI_NIDENT + 2, sizeof(machine));
		if (ident[EI_CLASS] == ELFCLASS64 && machine == EM_X86_64)
			n = snprintf(name, len, "Linux ELF64");
		else if (ident[EI_CLASS] == ELFCLASS32 && machine == EM_386)
			n = snprintf(name, len, "Linux ELF32");
		else if (ident[EI_CLASS] == ELFCLASS32 && machine == EM_X86_64)
			// x32: 4-byte pointers, like i386.
			n = snprintf(name, len, "Linux ELF32");
		else
			n = snprintf(name, len, "Linux ELF%d machine %u",
			    ident[EI_CLASS] == ELFCLASS64 ? 64 : 32, machine);
	}
	if (n < 0 || (size_t)n >= len) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return 0;
}
