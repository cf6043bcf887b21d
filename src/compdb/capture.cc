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

// The entry of a compile command started by thread lwpid of process pid, or
// nullptr.  Takes the argument list on success.
static compile_entry *
recognize_entry(string_list_ptr &argv, const string_list *envp, pid_t pid,
    lwpid_t lwpid)
{
	char *directory, *file;

	// Where the compiler will run: the kernel's word, unless it cannot or
	// will not give it.
	proc_cwd_info cwd;
	const proc_cwd_info *where = &cwd;
	if (proc_cwd(pid, lwpid, &cwd) == -1)
		where = nullptr;
	if (!recognize_compile_command(argv.get(), envp, where, &directory,
	    &file))
		return nullptr;

	compile_entry *entry =
	    static_cast<compile_entry *>(malloc(sizeof(*entry)));
	if (entry == nullptr) {
		free(directory);
		free(file);
		return nullptr;
	}
	entry->directory = directory;
	entry->file = file;
	entry->arguments = argv.release();
	return entry;
}

void
enter_syscall(tracer_info *info, traced_thread *thread,
    const lwp_info *lwpinfo)
{
	size_t narg = lwpinfo->pl_syscall_narg;

	// Whatever the thread entered before has been decided by now.
	free_compile_entry(thread->pending);
	thread->pending = nullptr;

	if (lwpinfo->pl_syscall_code != SYS_EXECVE)
		return;
	// Not execve under this ABI: argv and envp need not exist.
	if (narg < 3)
		return;
	// The pointer size is that of the call: on Linux a 64-bit program
	// may make it as i386 or x32 code.
	thread->proc->abi = identify_abi(thread->proc->pid);
	if (thread->proc->abi == nullptr)
		return;
	malloc_ptr<uint64_t> args(
	    static_cast<uint64_t *>(calloc(narg, sizeof(uint64_t))));
	if (args == nullptr)
		err(1, "malloc syscall args failed\n");
	if (pt_get_sc_args(thread->lwpid, args.get(), narg) != 0)
		return;

	// Most execs start no compiler, and their vectors can be long: the
	// program name decides whether the rest is read at all.
	malloc_ptr<char> program(get_first_string(info, args.get()[1]));
	if (!is_compiler(program.get()))
		return;

	string_list_ptr argv(cJSON_CreateArray());
	string_list_ptr envp(cJSON_CreateArray());
	if (argv == nullptr || envp == nullptr)
		return;
	// Vectors larger than an exec can take: the kernel will refuse it.
	size_t left = proc_exec_limits()->total_max;
	if (!get_string_array(info, args.get()[1], argv.get(), &left) ||
	    !get_string_array(info, args.get()[2], envp.get(), &left))
		return;
	thread->pending = recognize_entry(argv, envp.get(), thread->proc->pid,
	    thread->lwpid);
}

// The started command was executed before its first stop, where tracing
// begins: the stop proves that the exec succeeded, and its vectors are the
// tool's own.
compile_entry *
capture_command(traced_proc *proc, char *const argv[], char *const envp[])
{
	if (!is_compiler(argv[0]))
		return nullptr;

	string_list_ptr args(cJSON_CreateArray());
	string_list_ptr env(cJSON_CreateArray());
	if (args == nullptr || env == nullptr)
		return nullptr;
	for (char *const *p = argv; *p != nullptr; p++)
		cJSON_AddItemToArray(args.get(), cJSON_CreateString(*p));
	for (char *const *p = envp; *p != nullptr; p++)
		cJSON_AddItemToArray(env.get(), cJSON_CreateString(*p));
	return recognize_entry(args, env.get(), proc->pid,
	    LIST_FIRST(&proc->threadlist)->lwpid);
}
