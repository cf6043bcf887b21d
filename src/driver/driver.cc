// The run driver: prepares the file and the patterns, starts the build under
// trace, runs the event loop to its end and brackets the entries.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <err.h>
#include <getopt.h>
#include <unistd.h>

#include "compdb/compdb.h"
#include "driver/driver.h"
#include "tracer/tracer.h"

extern char **environ;

// Lives for the whole run and is left to process exit.
static tracer_info *info;

#ifndef CCTRACE_VERSION
// Set by the build from the project's version; only a bare compile check
// goes without.
#define CCTRACE_VERSION "(unknown version)"
#endif

static const char usage_line[] =
    "usage: cctrace [option ...] [--] command [argument ...]\n";

static void
usage(void)
{
	fputs(usage_line, stderr);
	exit(1);
}

static void
help(void)
{
	fputs(usage_line, stdout);
	fputs("Runs command as a traced child and writes the compilation "
	    "database of its build.\n"
	    "  -o, --output FILE    write the database to FILE instead of "
	    "compile_commands.json\n"
	    "  -a, --append         keep the entries of the file that this "
	    "build does not replace\n"
	    "      --all            record every C, C++, Objective-C and "
	    "assembly compile\n"
	    "      --compiler NAME  with --all, take NAME for a compiler too "
	    "(repeatable)\n"
	    "  -h, --help           print this help and exit\n"
	    "      --version        print the version and exit\n", stdout);
	exit(0);
}

enum { OPT_ALL = 256, OPT_COMPILER, OPT_VERSION };

// The option getopt_long has just refused, as the user wrote it: a long one
// up to its "=", a short one by itself (arg may hold several).
static std::string
option_name(const char *arg)
{
	std::string_view a(arg);

	if (a.starts_with("--"))
		return std::string(a.substr(0, a.find('=')));
	return std::string("-") + (char)optopt;
}

// Reads the options at the front of the command line into options; returns
// the index of the command.  Options end at the first argument that does
// not begin with "-", or after "--": a command line that starts with its
// command is the command, whatever follows.
static int
parse_options(int argc, char *argv[])
{
	static const struct option longopts[] = {
		{ "all", no_argument, nullptr, OPT_ALL },
		{ "append", no_argument, nullptr, 'a' },
		{ "compiler", required_argument, nullptr, OPT_COMPILER },
		{ "help", no_argument, nullptr, 'h' },
		{ "output", required_argument, nullptr, 'o' },
		{ "version", no_argument, nullptr, OPT_VERSION },
		{ nullptr, 0, nullptr, 0 },
	};
	int ch;

	// "+": stop at the command; ":": say ourselves what is wrong.
	opterr = 0;
	while ((ch = getopt_long(argc, argv, "+:aho:", longopts,
	    nullptr)) != -1) {
		switch (ch) {
		case 'a':
			options.append = true;
			break;
		case 'h':
			help();
			break;
		case 'o':
			options.output = optarg;
			break;
		case OPT_ALL:
			options.all = true;
			break;
		case OPT_COMPILER:
			options.compilers.push_back(optarg);
			break;
		case OPT_VERSION:
			printf("cctrace %s\n", CCTRACE_VERSION);
			exit(0);
		case ':':
			warnx("option %s needs a value",
			    option_name(argv[optind - 1]).c_str());
			usage();
			break;
		default:
			warnx("unknown option %s",
			    option_name(argv[optind - 1]).c_str());
			usage();
			break;
		}
	}
	if (!options.compilers.empty() && !options.all) {
		warnx("option --compiler works with --all only");
		usage();
	}
	return optind;
}

int
run_driver(int argc, char *argv[])
{
	traced_proc *proc;
	char **command;
	int status;

	int cmd = parse_options(argc, argv);
	if (cmd >= argc)
		usage();
	command = argv + cmd;

	info = static_cast<tracer_info *>(calloc(1, sizeof(*info)));
	if (info == nullptr)
		errx(1, "calloc() failed");
	LIST_INIT(&info->proclist);

	db_prepare(info);

	compile_patterns();
	launch_traced(info, command);

	// The build has its own dispositions; the tool outlives an interrupt
	// so that it can close the file once the build has gone.
	signal(SIGINT, SIG_IGN);
	signal(SIGTERM, SIG_IGN);
	signal(SIGQUIT, SIG_IGN);

	proc = LIST_FIRST(&info->proclist);
	// Never run: the file stays as it was, and goes if this run made it.
	if (proc->abi == nullptr) {
		proc_kill(proc->pid, SIGKILL);
		pt_detach(proc->pid, 0, 0);
		return 1;
	}
	// The file is truncated only now that the command runs, and before
	// it can look.
	db_open_array(info);
	// The command may itself be a compiler: it runs in our directory
	// with our environment.
	capture_command(info, proc, command, environ);
	pt_syscall(proc->pid, 0);

	mainloop(info);
	db_close_array(info);
	status = db_finish(info) == 0 ? 0 : 1;
	if (!options.all)
		notice_unexamined();
	return status;
}
