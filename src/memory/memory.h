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

// The longest string read from a tracee, terminator included: the longest
// an exec accepts.
size_t tracee_string_max(void);

int read_tracee(pid_t pid, uint64_t address, void *buffer, size_t length);
// A malloc'd copy of the NUL-terminated string at address, or nullptr.
char *read_tracee_string(pid_t pid, uint64_t address);
// Appends the strings of the NULL-terminated pointer array at address, in
// the process of the current thread, to list.  *left is what the vectors of
// the exec may still hold (exec_arg_limits; one whole exec's if left is
// nullptr), and what is read is taken from it.  Returns false, the list cut
// short, when the array holds more: the exec will fail.
bool get_string_array(tracer_info *info, uint64_t address, string_list *list,
    size_t *left = nullptr);
// A malloc'd copy of the first string of the pointer array at address, in
// the process of the current thread, or nullptr.
char *get_first_string(tracer_info *info, uint64_t address);

#endif
