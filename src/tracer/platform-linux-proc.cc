// What the Linux backend reads in /proc: the thread group of a task, which
// tells a new process from a new thread, and the ELF header of the program a
// task runs.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include "tracer/platform-linux.h"

pid_t
linux_read_tgid(pid_t tid)
{
	char path[64], buf[512];
	ssize_t n;
	int fd;

	snprintf(path, sizeof(path), "/proc/%ld/status", (long)tid);
	if ((fd = open(path, O_RDONLY | O_CLOEXEC)) == -1)
		return -1;
	n = read(fd, buf, sizeof(buf) - 1);
	close(fd);
	if (n <= 0)
		return -1;
	buf[n] = '\0';
	const char *p = strstr(buf, "\nTgid:");
	return p == nullptr ? -1 : (pid_t)strtol(p + 6, nullptr, 10);
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
