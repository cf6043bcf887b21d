// Reading strings and NULL-terminated pointer arrays out of a stopped
// process.  No read crosses a page boundary of the tracee: a page that is
// mapped must not be lost because the one after it is not.
#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include <err.h>

#include "memory/memory.h"
#include "tracer/tracer.h"

int
read_tracee(pid_t pid, uint64_t address, void *buffer, size_t length)
{
	if (pt_read_d(pid, address, buffer, length) < 0)
		return -1;
	return 0;
}

size_t
tracee_string_max(void)
{
	return proc_exec_limits()->string_max;
}

// The string at address, if it ends within limit bytes, terminator
// included; its length in *len.  *too_long tells a string that does not
// from one that cannot be read.
static char *
read_string(pid_t pid, uint64_t address, size_t limit, size_t *len,
    bool *too_long)
{
	size_t chunk = TRACEE_PAGE_SIZE - address % TRACEE_PAGE_SIZE;
	size_t size, offset = 0;
	char *buffer, *nul;

	*too_long = false;
	if (chunk > limit)
		chunk = limit;
	size = chunk;
	if (chunk == 0 || (buffer = static_cast<char *>(malloc(size))) ==
	    nullptr) {
		*too_long = chunk == 0;
		return nullptr;
	}
	for (;;) {
		if (read_tracee(pid, address + offset, buffer + offset,
		    chunk) != 0)
			break;
		if ((nul = static_cast<char *>(memchr(buffer + offset, '\0',
		    chunk))) != nullptr) {
			*len = (size_t)(nul - buffer);
			return buffer;
		}
		offset += chunk;
		if (offset == limit) {
			*too_long = true;
			break;
		}
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

char *
read_tracee_string(pid_t pid, uint64_t address)
{
	size_t len;
	bool too_long;

	return read_string(pid, address, tracee_string_max(), &len, &too_long);
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

bool
get_string_array(tracer_info *info, uint64_t address, string_list *list,
    size_t *left)
{
	const traced_proc *proc = info->curthread->proc;
	const pid_t pid = proc->pid;
	// Checked first: the alignment test below divides by it.
	const size_t psize = pointer_size(proc);
	const exec_arg_limits *limits = proc_exec_limits();
	unsigned char buffer[TRACEE_PAGE_SIZE];
	size_t block, own = limits->total_max;

	if (left == nullptr)
		left = &own;
	if (address % psize != 0)
		return true;
	block = TRACEE_PAGE_SIZE - address % TRACEE_PAGE_SIZE;
	assert(block != 0);
	if (read_tracee(pid, address, buffer, block) != 0)
		return true;
	for (;;) {
		for (size_t off = 0; off < block; off += psize) {
			uint64_t ptr = pointer_at(buffer + off, psize);
			size_t len = 0;
			bool too_long;
			char *text;

			if (ptr == 0)
				return true;
			// What the kernel will copy of this string and
			// pointer: past what it takes, it refuses the exec.
			// A string that cannot be read counts as empty.
			if (*left < limits->pointer_cost + 1)
				return false;
			*left -= limits->pointer_cost;
			text = read_string(pid, ptr, std::min(*left,
			    limits->string_max), &len, &too_long);
			if (too_long)
				return false;
			*left -= len + 1;
			if (text == nullptr)
				continue;
			cJSON_AddItemToArray(list, cJSON_CreateString(text));
			free(text);
		}
		address += block;
		block = TRACEE_PAGE_SIZE;
		if (read_tracee(pid, address, buffer, block) != 0)
			return true;
	}
}
