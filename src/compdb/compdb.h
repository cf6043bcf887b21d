// The compilation database: recognition of compile commands in the argument
// and environment vectors of an execve, and the file they are written to.
#ifndef CCTRACE_COMPDB_COMPDB_H
#define CCTRACE_COMPDB_COMPDB_H

#include <cstdint>
#include <vector>

#include "compdb/string_list.h"

struct tracer_info;
struct traced_proc;
struct traced_thread;
struct lwp_info;
struct proc_cwd_info;

#define DB_FILE_NAME "compile_commands.json"

// What the command line asks of the database and of recognition; set once by
// the driver before the build starts.
struct run_options {
	const char *output = DB_FILE_NAME;	// -o: the database's file
	bool append = false;		// -a: keep the entries already there
	bool all = false;		// --all: every compile a language server needs
	std::vector<const char *> compilers;	// --compiler: more base names
};
extern run_options options;

// One recognised compile command, itself malloc'd; it owns every member.
struct compile_entry {
	char *directory;
	char *file;
	string_list *arguments;
};

// Entries begun so far; decides whether an entry needs a separator.
extern uint32_t entry_count;
// The error number of the first write to the file that failed, or 0.
extern int db_error;

// Before the build starts: decides where the database goes (the file, or
// the file that a symbolic link there points to now) and checks that it can
// be written there, without truncating it; with -a, reads the entries it
// holds.  Ends the tool with status 1 where it cannot.  info->out becomes
// the stream of the entries, a copy the build cannot reach.
void db_prepare(tracer_info *info);
// At the command's first stop: truncates the file and writes the opening of
// the array, and with -a the entries kept from the file.
void db_open_array(tracer_info *info);
// Writes one entry and flushes it.  output, where given, is the file the
// command names as its output.  own_view says whether the tool finds file by
// that name itself (not where the compiler ran in a root or mount namespace
// of its own), so that its existence can be checked again at the end.
void db_append_entry(tracer_info *info, const char *directory,
    const char *file, const string_list *arguments,
    const char *output = nullptr, bool own_view = true);
void db_close_array(tracer_info *info);
// Closes the file once the build has ended.  It is written again, under
// the name decided at start, where the build removed, replaced or changed
// it, and where -a or --all leave entries out.  0, or -1 once a warning has
// said that the database could not be written.
int db_finish(tracer_info *info);

void compile_patterns(void);

// Whether program, item 0 of an argument vector, names a compiler.
bool is_compiler(const char *program);

// What the names of --all make of a program, item 0 of an argument vector
// (compilers.cc).
enum program_kind { PROGRAM_OTHER, PROGRAM_COMPILER, PROGRAM_WRAPPER };
program_kind program_kind_of(const char *program);
// The index of the compiler in a command that starts with argv0, argv1
// (either may be nullptr): 0, 1 after a wrapper, -1 if it runs none.
int compiler_index(const char *argv0, const char *argv1);

// What a compiler's arguments args[0] (the compiler) to args[n - 1] ask for,
// as --all reads them.
struct compile_args {
	bool compiles;		// false: it only preprocesses or lists headers
	std::vector<int> sources;	// the indices of the sources, where
				// they name regular files
	const char *output;	// the last -o's value, or nullptr
};
void read_compile_args(const char *const *args, int n, compile_args *out);

// Decides whether argv/envp start a compiler on a source file, in the
// working directory cwd as the kernel reports it (nullptr where it cannot
// say).  On success returns true with *directory and *file malloc'd for the
// caller.
bool recognize_compile_command(const string_list *argv,
    const string_list *envp, const proc_cwd_info *cwd, char **directory,
    char **file);

// --all: the compile command that argv starts from its item first, the
// compiler, on, in the working directory cwd (nullptr where the kernel
// cannot say).  On success returns true with *directory, *files (the path
// of each source, in order) and *output (nullptr unless the command has
// one source and names its output) made for the caller.
bool recognize_all_command(const string_list *argv, int first,
    const string_list *envp, const proc_cwd_info *cwd, char **directory,
    string_list **files, char **output);

// Recognises and, for a compile command, appends its entry at once.
void record_compile_command(tracer_info *info, const string_list *argv,
    const string_list *envp, const proc_cwd_info *cwd);

void free_compile_entry(compile_entry *entry);

// A system-call entry stop of thread (== info->curthread).
void enter_syscall(tracer_info *info, traced_thread *thread,
    const lwp_info *lwpinfo);
// The end of the exec thread entered, or of the system call that it entered
// instead, or of an exec that came without an entry stop: writes the
// entries of a compile command whose exec succeeded.
void exec_ended(tracer_info *info, traced_thread *thread, bool succeeded);
// Frees what thread holds of the exec it entered.
void forget_exec(traced_thread *thread);

// Writes the entries of the started command proc, stopped after its exec of
// argv with the environment envp, if it is a compile command.
void capture_command(tracer_info *info, traced_proc *proc,
    char *const argv[], char *const envp[]);

// After a run without --all: one line that tells how many runs of programs
// that only --all takes for compilers went unexamined, if there were any.
void notice_unexamined(void);

#endif
