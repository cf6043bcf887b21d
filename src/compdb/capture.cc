// Exec capture: the argument and environment vectors of every execve a
// traced thread enters.  A recognised compile command is held on the thread
// until the exec's end reports that it succeeded, so that an attempt that
// fails (a search along PATH) leaves no entry.  There, for a compiler, the
// new image's own vectors and directory are read: they are what the kernel
// executed, which another thread of the caller may have changed after the
// entry.
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <err.h>

#include "compdb/compdb.h"
#include "memory/memory.h"
#include "tracer/tracer.h"

#define SYS_EXECVE 59

// A recognised compile command before it is held on its thread.
struct recognized {
	char *directory;
	string_list *files;	// the path of each source, in order
	char *output;
	bool own_view;
	int first;		// the index of the compiler in the arguments
};

// The programs that only --all takes for compilers, and the successful runs
// of each that a run without it passed over.
struct unexamined {
	std::string name;
	unsigned runs;
};
static std::vector<unexamined> unexamined_programs;

// The notice's index of program, by its base name.
static unsigned
unexamined_index(const char *program)
{
	const char *slash = strrchr(program, '/');
	std::string name = slash != nullptr ? slash + 1 : program;

	for (size_t i = 0; i < unexamined_programs.size(); i++)
		if (unexamined_programs[i].name == name)
			return (unsigned)i;
	unexamined_programs.push_back(unexamined{ name, 0 });
	return (unsigned)unexamined_programs.size() - 1;
}

// What the names of a command whose compiler is its item first (-1: none)
// make of its exec, in either mode: a compiler or wrapper puts its process
// inside a compile, and without --all one that the default rules pass over
// is counted for the notice.
static void
note_names(traced_thread *thread, const char *program, int first)
{
	if (first < 0)
		return;
	thread->exec.inside = true;
	if (!options.all && !thread->proc->inside && !is_compiler(program))
		thread->exec.notice = 1 + unexamined_index(program);
}

static void
free_recognized(recognized *r)
{
	free(r->directory);
	cJSON_Delete(r->files);
	free(r->output);
}

// The compile command that argv (its compiler at item first, for --all)
// starts with envp in the working directory of process pid, thread lwpid,
// by the rules of this run.
static bool
recognize(const string_list *argv, int first, const string_list *envp,
    pid_t pid, lwpid_t lwpid, recognized *r)
{
	char *file;

	*r = recognized{};
	// Where the compiler will run: the kernel's word, unless it cannot or
	// will not give it.
	proc_cwd_info cwd;
	const proc_cwd_info *where = &cwd;
	if (proc_cwd(pid, lwpid, &cwd) == -1)
		where = nullptr;
	// Unknown, the files were looked up in the tool's own view.
	r->own_view = where == nullptr || cwd.own_view;
	if (options.all) {
		r->first = first;
		return recognize_all_command(argv, first, envp, where,
		    &r->directory, &r->files, &r->output);
	}
	if (!recognize_compile_command(argv, envp, where, &r->directory,
	    &file))
		return false;
	r->files = cJSON_CreateArray();
	cJSON_AddItemToArray(r->files, cJSON_CreateString(file));
	free(file);
	if (cJSON_GetArraySize(r->files) != 1) {
		free_recognized(r);
		return false;
	}
	return true;
}

// Drops the entries thread holds, keeping what else it knows of its exec.
static void
drop_entries(traced_thread *thread)
{
	free_compile_entry(thread->pending);
	thread->pending = nullptr;
	cJSON_Delete(thread->exec.more_files);
	thread->exec.more_files = nullptr;
	free(thread->exec.output);
	thread->exec.output = nullptr;
}

// Holds the exec of a compiler with the argument vector argv on thread
// until the exec ends, with the entries of r if it is a compile command.
// Takes argv and r.
static void
hold(traced_thread *thread, string_list_ptr &argv, recognized *r)
{
	compile_entry *entry;
	cJSON *first;

	drop_entries(thread);
	entry = static_cast<compile_entry *>(calloc(1, sizeof(*entry)));
	if (entry != nullptr) {
		entry->arguments = argv.release();
		thread->pending = entry;
	}
	if (r == nullptr)
		return;
	// The first source's entry; the others' files beside it.
	first = cJSON_DetachItemFromArray(r->files, 0);
	if (entry != nullptr && first != nullptr)
		entry->file = strdup(cJSON_GetStringValue(first));
	cJSON_Delete(first);
	if (entry == nullptr || entry->file == nullptr) {
		free_recognized(r);
		return;
	}
	entry->directory = r->directory;
	if (cJSON_GetArraySize(r->files) > 0)
		thread->exec.more_files = r->files;
	else
		cJSON_Delete(r->files);
	thread->exec.output = r->output;
	thread->exec.own_view = r->own_view;
	thread->exec.first = r->first;
	*r = recognized{};
}

// Recognises the exec of a compiler, argv with envp, and holds it on
// thread.  Takes argv.
static void
recognize_and_hold(traced_thread *thread, string_list_ptr &argv, int first,
    const string_list *envp)
{
	recognized r;

	if (recognize(argv.get(), first, envp, thread->proc->pid,
	    thread->lwpid, &r))
		hold(thread, argv, &r);
	else
		hold(thread, argv, nullptr);
}

// Reads the argument and environment vectors at argv and envp of the
// stopped caller of thread; false where they hold more than an exec can
// take (the kernel will refuse it) or cannot be made.
static bool
read_vectors(tracer_info *info, uint64_t argv, uint64_t envp,
    string_list_ptr &args, string_list_ptr &env)
{
	size_t left = proc_exec_limits()->total_max;

	args.reset(cJSON_CreateArray());
	env.reset(cJSON_CreateArray());
	if (args == nullptr || env == nullptr)
		return false;
	return get_string_array(info, argv, args.get(), &left) &&
	    get_string_array(info, envp, env.get(), &left);
}

static const char *
item_text(const string_list *list, int i)
{
	return cJSON_GetStringValue(cJSON_GetArrayItem(list, i));
}

// Without --all: the rules of today, and for the notice the names that only
// --all takes.
static void
enter_default(tracer_info *info, traced_thread *thread, const uint64_t *args,
    const char *program)
{
	int first = -1;

	switch (program_kind_of(program)) {
	case PROGRAM_COMPILER:
		first = 0;
		break;
	case PROGRAM_WRAPPER: {
		// Item 1, after the pointer to item 0.
		malloc_ptr<char> next(get_first_string(info,
		    args[1] + thread->proc->abi->pointer_size));
		first = compiler_index(program, next.get());
		break;
	}
	default:
		break;
	}
	note_names(thread, program, first);
	if (!is_compiler(program))
		return;

	string_list_ptr argv, envp;
	if (read_vectors(info, args[1], args[2], argv, envp))
		recognize_and_hold(thread, argv, 0, envp.get());
}

// --all: compilers, and wrappers followed by one.
static void
enter_all(tracer_info *info, traced_thread *thread, const uint64_t *args,
    const char *program)
{
	string_list_ptr argv, envp;

	if (program_kind_of(program) == PROGRAM_OTHER)
		return;
	if (!read_vectors(info, args[1], args[2], argv, envp))
		return;
	int first = compiler_index(item_text(argv.get(), 0),
	    item_text(argv.get(), 1));
	note_names(thread, program, first);
	if (first >= 0)
		recognize_and_hold(thread, argv, first, envp.get());
}

void
enter_syscall(tracer_info *info, traced_thread *thread,
    const lwp_info *lwpinfo)
{
	size_t narg = lwpinfo->pl_syscall_narg;

	// Whatever the thread entered before has been decided by now.
	forget_exec(thread);

	if (lwpinfo->pl_syscall_code != SYS_EXECVE)
		return;
	thread->exec.entered = true;
	// A compiler's helpers: nothing of them is read.
	if (options.all && thread->proc->inside)
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
	if (program == nullptr)
		return;
	if (options.all)
		enter_all(info, thread, args.get(), program.get());
	else
		enter_default(info, thread, args.get(), program.get());
}

// One of the new image's vectors, as the kernel copied it.
static string_list_ptr
image_vector(pid_t pid, int which)
{
	size_t len;
	malloc_ptr<char> strings(proc_image_strings(pid, which, &len));

	if (strings == nullptr)
		return nullptr;
	string_list_ptr list(cJSON_CreateArray());
	if (list == nullptr)
		return nullptr;
	for (size_t at = 0; at < len;) {
		const char *s = strings.get() + at;
		size_t n = strnlen(s, len - at);

		// The last string may lack its NUL.
		std::string text(s, n);
		cJSON *item = cJSON_CreateString(text.c_str());
		if (item == nullptr)
			return nullptr;
		cJSON_AddItemToArray(list.get(), item);
		at += n + 1;
	}
	return list;
}

// At the end of a successful exec of a compiler: the new image's vectors
// and directory, which are what the kernel executed, decide its entries.
// Where they cannot be read, what the entry read stands.
static void
check_image(traced_thread *thread)
{
	const pid_t pid = thread->proc->pid;
	const string_list *caller = thread->pending->arguments;
	string_list_ptr argv = image_vector(pid, PROC_IMAGE_ARGS);
	string_list_ptr envp = image_vector(pid, PROC_IMAGE_ENV);
	int m, n = cJSON_GetArraySize(caller);

	if (argv == nullptr || envp == nullptr)
		return;
	m = cJSON_GetArraySize(argv.get());
	if (m > n && n >= 1) {
		// A #! script (or a binfmt_misc program): the kernel has put
		// the interpreter's words and the script's path in place of
		// the caller's item 0, which is the program recognised.
		string_list_ptr vector(cJSON_CreateArray());
		if (vector == nullptr)
			return;
		cJSON_AddItemToArray(vector.get(),
		    cJSON_CreateString(item_text(caller, 0)));
		for (int i = m - n + 1; i < m; i++)
			cJSON_AddItemToArray(vector.get(), cJSON_CreateString(
			    item_text(argv.get(), i)));
		if (cJSON_GetArraySize(vector.get()) != n)
			return;
		argv = std::move(vector);
	}
	int first = compiler_index(item_text(argv.get(), 0),
	    item_text(argv.get(), 1));
	if (options.all)
		thread->exec.inside = first >= 0;
	recognize_and_hold(thread, argv, first, envp.get());
}

// An exec that came without an entry stop (a seccomp supervisor of the
// build's own took it first): only the new image tells what it was.
static void
examine_image(traced_thread *thread)
{
	const pid_t pid = thread->proc->pid;

	if (options.all && thread->proc->inside)
		return;
	string_list_ptr argv = image_vector(pid, PROC_IMAGE_ARGS);
	if (argv == nullptr)
		return;
	const char *program = item_text(argv.get(), 0);
	if (program == nullptr)
		return;
	int first = compiler_index(program, item_text(argv.get(), 1));
	note_names(thread, program, first);
	if (options.all ? first < 0 : !is_compiler(program))
		return;
	string_list_ptr envp = image_vector(pid, PROC_IMAGE_ENV);
	if (envp == nullptr)
		envp.reset(cJSON_CreateArray());
	if (envp != nullptr)
		recognize_and_hold(thread, argv, first, envp.get());
}

// Writes what thread holds of its exec, which has succeeded.
static void
write_held(tracer_info *info, traced_thread *thread)
{
	const exec_state &exec = thread->exec;
	const compile_entry *entry = thread->pending;
	const cJSON *item;

	if (entry != nullptr && entry->file != nullptr) {
		// A wrapper's entries start at the compiler.
		for (int i = 0; i < exec.first; i++)
			cJSON_DeleteItemFromArray(entry->arguments, 0);
		db_append_entry(info, entry->directory, entry->file,
		    entry->arguments, exec.output, exec.own_view);
		cJSON_ArrayForEach(item, exec.more_files)
			db_append_entry(info, entry->directory,
			    cJSON_GetStringValue(item), entry->arguments,
			    nullptr, exec.own_view);
	}
	if (exec.inside)
		mark_inside(info, thread->proc);
	if (exec.notice != 0)
		unexamined_programs[exec.notice - 1].runs++;
}

void
exec_ended(tracer_info *info, traced_thread *thread, bool succeeded)
{
	if (succeeded) {
		if (!thread->exec.entered)
			examine_image(thread);
		else if (thread->pending != nullptr)
			check_image(thread);
		write_held(info, thread);
	}
	forget_exec(thread);
}

// The started command was executed before its first stop, where tracing
// begins: the stop proves that the exec succeeded, and its vectors are the
// tool's own.
void
capture_command(tracer_info *info, traced_proc *proc, char *const argv[],
    char *const envp[])
{
	traced_thread *thread = LIST_FIRST(&proc->threadlist);

	forget_exec(thread);
	int first = compiler_index(argv[0], argv[1]);
	note_names(thread, argv[0], first);
	if (options.all ? first >= 0 : is_compiler(argv[0])) {
		string_list_ptr args(cJSON_CreateArray());
		string_list_ptr env(cJSON_CreateArray());
		if (args == nullptr || env == nullptr)
			return;
		for (char *const *p = argv; *p != nullptr; p++)
			cJSON_AddItemToArray(args.get(), cJSON_CreateString(*p));
		for (char *const *p = envp; *p != nullptr; p++)
			cJSON_AddItemToArray(env.get(), cJSON_CreateString(*p));
		recognize_and_hold(thread, args, first, env.get());
	}
	write_held(info, thread);
	forget_exec(thread);
}

void
notice_unexamined(void)
{
	// More names than this are summed up.
	const size_t shown = 4;
	std::vector<const std::string *> names;
	std::string list;
	unsigned runs = 0;

	for (const unexamined &u : unexamined_programs) {
		if (u.runs == 0)
			continue;
		runs += u.runs;
		names.push_back(&u.name);
	}
	if (runs == 0)
		return;
	for (size_t i = 0; i < names.size() && i < shown; i++) {
		if (i > 0)
			list += i + 1 == names.size() ? " or " : ", ";
		list += *names[i];
	}
	if (names.size() == shown + 1)
		list += " or 1 other program";
	else if (names.size() > shown)
		list += " or " + std::to_string(names.size() - shown) +
		    " other programs";
	if (runs == 1)
		warnx("1 run of %s was not examined; cctrace --all records "
		    "its compile", list.c_str());
	else
		warnx("%u runs of %s were not examined; cctrace --all records "
		    "their compiles", runs, list.c_str());
}
