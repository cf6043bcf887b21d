// Exec capture: the argument and environment vectors of every execve a
// traced thread enters.  A recognised compile command is held on the thread
// until the exec's exit reports that it succeeded, so that an attempt that
// fails (a search along PATH) leaves no entry.
#include <cstdlib>

#include <err.h>

#include "compdb/compdb.h"
#include "memory/memory.h"
#include "tracer/tracer.h"

#define SYS_EXECVE 59

void
enter_syscall(tracer_info *info, traced_thread *thread,
    const lwp_info *lwpinfo)
{
	size_t narg = lwpinfo->pl_syscall_narg;
	char *directory, *file;

	// Whatever the thread entered before has been decided by now.
	free_compile_entry(thread->pending);
	thread->pending = nullptr;

	if (lwpinfo->pl_syscall_code != SYS_EXECVE)
		return;
	// Not execve under this ABI: argv and envp need not exist.
	if (narg < 3)
		return;
	malloc_ptr<uint64_t> args(
	    static_cast<uint64_t *>(calloc(narg, sizeof(uint64_t))));
	if (args == nullptr)
		err(1, "malloc syscall args failed\n");
	if (pt_get_sc_args(thread->lwpid, args.get(), narg) != 0)
		return;

	string_list_ptr argv(cJSON_CreateArray());
	string_list_ptr envp(cJSON_CreateArray());
	if (argv == nullptr || envp == nullptr)
		return;
	get_string_array(info, args.get()[1], argv.get());
	if (!is_compiler(cJSON_GetStringValue(cJSON_GetArrayItem(argv.get(),
	    0))))
		return;
	get_string_array(info, args.get()[2], envp.get());

	// Where the compiler will run: the kernel's word, unless it cannot or
	// will not give it.
	proc_cwd_info cwd;
	const proc_cwd_info *where = &cwd;
	if (proc_cwd(thread->proc->pid, thread->lwpid, &cwd) == -1)
		where = nullptr;
	if (!recognize_compile_command(argv.get(), envp.get(), where,
	    &directory, &file))
		return;

	compile_entry *entry =
	    static_cast<compile_entry *>(malloc(sizeof(*entry)));
	if (entry == nullptr) {
		free(directory);
		free(file);
		return;
	}
	entry->directory = directory;
	entry->file = file;
	entry->arguments = argv.release();
	thread->pending = entry;
}
