// The run driver: prepares the file and the patterns, starts the build under
// trace, runs the event loop to its end and brackets the entries.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <unistd.h>

#include "compdb/compdb.h"
#include "driver/driver.h"
#include "tracer/tracer.h"

extern char **environ;

// Lives for the whole run and is left to process exit.
static tracer_info *info;

static void
usage(void)
{
	fprintf(stderr, "usage: cctrace command [argument ...]\n");
	exit(1);
}

int
run_driver(int argc, char *argv[])
{
	traced_proc *proc;
	compile_entry *first;

	if (argc < 2)
		usage();

	info = static_cast<tracer_info *>(calloc(1, sizeof(*info)));
	if (info == nullptr)
		errx(1, "calloc() failed");
	LIST_INIT(&info->proclist);

	// Read back too, should the build remove the file.
	info->out = fopen(DB_FILE_NAME, "w+e");
	if (info->out == nullptr)
		err(1, "cannot open %s", DB_FILE_NAME);

	compile_patterns();
	launch_traced(info, argv + 1);

	// The build has its own dispositions; the tool outlives an interrupt
	// so that it can close the file once the build has gone.
	signal(SIGINT, SIG_IGN);
	signal(SIGTERM, SIG_IGN);
	signal(SIGQUIT, SIG_IGN);

	proc = LIST_FIRST(&info->proclist);
	if (proc->abi == nullptr) {
		proc_kill(proc->pid, SIGKILL);
		pt_detach(proc->pid, 0, 0);
		return 1;
	}
	// The command may itself be a compiler: it runs in our directory
	// with our environment.
	first = capture_command(proc, argv + 1, environ);
	pt_syscall(proc->pid, 0);

	db_open_array(info);
	if (first != nullptr) {
		db_append_entry(info, first->directory, first->file,
		    first->arguments);
		free_compile_entry(first);
	}
	mainloop(info);
	db_close_array(info);
	return db_finish(info) == 0 ? 0 : 1;
}
