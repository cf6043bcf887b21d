// Reading strings and NULL-terminated pointer arrays out of a stopped
// process.  No read crosses a page boundary of the tracee: a page that is
// mapped must not be lost because the one after it is not.
#include <cassert>
#include <cstdlib>
#include <cstring>

#include <err.h>
#include <unistd.h>

#include "memory/memory.h"
#include "tracer/tracer.h"

int
read_tracee(pid_t pid, uint64_t address, void *buffer, size_t length)
{
	if (pt_read_d(pid, address, buffer, length) < 0)
		return -1;
	return 0;
}

// Above any ARG_MAX an exec honours (Linux caps the arguments of one exec at
// 6 MiB whatever the stack limit, FreeBSD/amd64 at 512 KiB), and a bound on
// what a runaway string can make the tool allocate.
#define STRING_MAX_CAP (64 * 1024 * 1024)

size_t
tracee_string_max(void)
{
	static size_t max;

	if (max == 0) {
		long n = sysconf(_SC_ARG_MAX);

		if (n < TRACEE_PAGE_SIZE || n > STRING_MAX_CAP)
			n = STRING_MAX_CAP;
		max = (size_t)n;
	}
	return max;
}

char *
read_tracee_string(pid_t pid, uint64_t address)
{
	const size_t limit = tracee_string_max();
	size_t chunk = TRACEE_PAGE_SIZE - address % TRACEE_PAGE_SIZE;
	size_t size = chunk, offset = 0;
	char *buffer = static_cast<char *>(malloc(size));

	if (buffer == nullptr)
		return nullptr;
	for (;;) {
		if (read_tracee(pid, address + offset, buffer + offset,
		    chunk) != 0)
			break;
		if (memchr(buffer + offset, '\0', chunk) != nullptr)
			return buffer;
		offset += chunk;
		if (offset == limit)
			break;
		// On page by page; the buffer doubles so that a long string
		// costs linear time.
		chunk = TRACEE_PAGE_SIZE;
		if (chunk > limit - offset)
			chunk = limit - offset;
		if (offset + chunk > size) {
			size_t grown = size * 2;
			char *p;

			if (grown < offset + chunk)
				grown = offset + chunk;
			if (grown > limit)
				grown = limit;
			p = static_cast<char *>(realloc(buffer, grown));
			if (p == nullptr)
				break;
			buffer = p;
			size = grown;
		}
	}
	// A cut string would be a wrong argument: better none at all.
	free(buffer);
	return nullptr;
}

// The pointer size of the current thread's process, checked.
static size_t
pointer_size(const traced_proc *proc)
{
	const size_t psize = proc->abi->pointer_size;

	if (psize != 4 && psize != 8)
		errx(1, "Unsupported pointer size: %zu", psize);
	return psize;
}

// A tracee pointer of psize bytes, widened to 64 bits.
static uint64_t
pointer_at(const unsigned char *p, size_t psize)
{
	uint64_t ptr;

	if (psize == 4) {
		uint32_t word;

		memcpy(&word, p, sizeof(word));
		return word;
	}
	memcpy(&ptr, p, sizeof(ptr));
	return ptr;
}

char *
get_first_string(tracer_info *info, uint64_t address)
{
	const traced_proc *proc = info->curthread->proc;
	const size_t psize = pointer_size(proc);
	unsigned char word[8];
	uint64_t ptr;

	// Aligned, so the pointer does not cross a page.
	if (address % psize != 0 ||
	    read_tracee(proc->pid, address, word, psize) != 0 ||
	    (ptr = pointer_at(word, psize)) == 0)
		return nullptr;
	return read_tracee_string(proc->pid, ptr);
}

void
get_string_array(tracer_info *info, uint64_t address, string_list *list)
{
	const traced_proc *proc = info->curthread->proc;
	const pid_t pid = proc->pid;
	// Checked first: the alignment test below divides by it.
	const size_t psize = pointer_size(proc);
	unsigned char buffer[TRACEE_PAGE_SIZE];
	size_t block;

	if (address % psize != 0)
		return;
	block = TRACEE_PAGE_SIZE - address % TRACEE_PAGE_SIZE;
	assert(block != 0);
	if (read_tracee(pid, address, buffer, block) != 0)
		return;
	for (;;) {
		for (size_t off = 0; off < block; off += psize) {
			uint64_t ptr = pointer_at(buffer + off, psize);
			char *text;

			if (ptr == 0)
				return;
			text = read_tracee_string(pid, ptr);
			if (text == nullptr)
				continue;
			cJSON_AddItemToArray(list, cJSON_CreateString(text));
			free(text);
		}
		address += block;
		block = TRACEE_PAGE_SIZE;
		if (read_tracee(pid, address, buffer, block) != 0)
			return;
	}
}
