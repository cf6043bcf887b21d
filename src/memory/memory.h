// Reading strings and NULL-terminated pointer arrays out of a stopped
// process's memory.
#ifndef CCTRACE_MEMORY_MEMORY_H
#define CCTRACE_MEMORY_MEMORY_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "compdb/string_list.h"

struct tracer_info;

#define TRACEE_PAGE_SIZE 4096

// The longest string read from a tracee, terminator included: the system's
// ARG_MAX, as no exec accepts a longer argument.
size_t tracee_string_max(void);

int read_tracee(pid_t pid, uint64_t address, void *buffer, size_t length);
// A malloc'd copy of the NUL-terminated string at address, or nullptr.
char *read_tracee_string(pid_t pid, uint64_t address);
void get_string_array(tracer_info *info, uint64_t address, string_list *list);
// A malloc'd copy of the first string of the pointer array at address, in
// the process of the current thread, or nullptr.
char *get_first_string(tracer_info *info, uint64_t address);

#endif
