// Compile command recognition: a compiler by the name of its program, the
// directory it runs in and the source from the last existing source argument.
#include <sys/stat.h>

#include <err.h>
#include <regex.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "compdb/compdb.h"
#include "tracer/platform.h"
#include "tracer/tracer.h"

static const char compiler_text[] = "(cc|cpp)$";
static const char source_text[] = "\\.(c|cpp|S)$";

// Compiled once at start-up and kept for the whole run.
static regex_t compiler_pattern;
static regex_t source_pattern;

static void
compile_one(regex_t *pattern, const char *text)
{
	if (regcomp(pattern, text, REG_EXTENDED | REG_NEWLINE) != 0)
		err(1, "cannot compile regex %s", text);
}

void
compile_patterns(void)
{
	compile_one(&compiler_pattern, compiler_text);
	compile_one(&source_pattern, source_text);
}

static bool
matches(const regex_t *pattern, const char *text)
{
	regmatch_t match[2];
	int rc;

	rc = regexec(pattern, text, 2, match, 0);
	if (rc == 0)
		return (true);
	if (rc != REG_NOMATCH)
		err(1, "regex fail: %d\n", rc);
	return (false);
}

// The value of the first PWD item that has one, copied; NULL if there is
// none or the copy fails.  The key ends at the first "=", so values may
// hold "=" themselves.
static char *
find_pwd(const string_list *envp)
{
	const cJSON *item;

	cJSON_ArrayForEach(item, envp) {
		const char *text = cJSON_GetStringValue(item);
		const char *eq;

		if (text == NULL || (eq = strchr(text, '=')) == NULL)
			continue;
		if (std::string_view(text, eq - text) != "PWD" ||
		    eq[1] == '\0')
			continue;
		return (strdup(eq + 1));
	}
	return (NULL);
}

// Whether the PWD value names the working directory the kernel reports: the
// test a shell makes before it trusts an inherited PWD.
static bool
names_cwd(const char *pwd, const proc_cwd_info *cwd)
{
	struct stat sb;

	return (pwd[0] == '/' && proc_stat(cwd, pwd, &sb) == 0 &&
	    S_ISDIR(sb.st_mode) && sb.st_dev == cwd->dev &&
	    sb.st_ino == cwd->ino);
}

// The directory of the entry: PWD where it names the working directory (it
// is the path users see, through links), else the kernel's path for it.
// Where the kernel cannot say, PWD as it stands.
static char *
find_directory(const string_list *envp, const proc_cwd_info *cwd)
{
	char *pwd = find_pwd(envp);

	if (cwd == NULL)
		return (pwd);
	if (pwd != NULL && names_cwd(pwd, cwd))
		return (pwd);
	free(pwd);
	return (cwd->path[0] != '\0' ? strdup(cwd->path) : NULL);
}

// Whether path, as the compiler names it (arg joined to directory), is a
// regular file.  Where the kernel has said where the compiler runs, path is
// looked up as it sees it, so that a build in a chroot or another mount
// namespace is seen as it sees itself.
static bool
is_source_file(const char *path, const proc_cwd_info *cwd)
{
	struct stat sb;

	if (cwd == NULL)
		return (stat(path, &sb) == 0 && S_ISREG(sb.st_mode));
	return (proc_stat(cwd, path, &sb) == 0 && S_ISREG(sb.st_mode));
}

// The path of a source argument as the compiler names it: arg itself, or
// joined to the directory (not normalised).  malloc'd; NULL on failure.
static char *
source_path(const char *directory, const char *arg)
{
	char *path;

	if (arg[0] == '/')
		return (strdup(arg));
	if (asprintf(&path, "%s/%s", directory, arg) == -1)
		return (NULL);
	return (path);
}

// Scans argv from the last item down to item 1 for an existing regular
// file that the source pattern names; item 0 is the program.
static char *
find_source(const string_list *argv, const char *directory,
    const proc_cwd_info *cwd)
{
	int argc = cJSON_GetArraySize(argv);
	const cJSON *item;
	int i;

	// Indexing a cJSON array walks it from the start: take the items
	// once so that long link lines do not cost quadratic time.
	malloc_ptr<const cJSON *> items(
	    (const cJSON **)malloc(argc * sizeof(const cJSON *)));
	if (items == nullptr)
		return (NULL);
	i = 0;
	cJSON_ArrayForEach(item, argv)
		items.get()[i++] = item;

	for (i = argc - 1; i >= 1; i--) {
		const char *arg = cJSON_GetStringValue(items.get()[i]);
		char *path;

		if (arg == NULL)
			continue;
		// An empty argument leaves the command in doubt.
		if (arg[0] == '\0')
			return (NULL);
		if (!matches(&source_pattern, arg))
			continue;
		if ((path = source_path(directory, arg)) == NULL)
			return (NULL);
		if (is_source_file(path, cwd))
			return (path);
		free(path);
	}
	return (NULL);
}

bool
is_compiler(const char *program)
{
	return (program != NULL && matches(&compiler_pattern, program));
}

bool
recognize_compile_command(const string_list *argv, const string_list *envp,
    const proc_cwd_info *cwd, char **directory, char **file)
{
	if (cJSON_GetArraySize(argv) < 1 ||
	    !is_compiler(cJSON_GetStringValue(cJSON_GetArrayItem(argv, 0))))
		return (false);

	malloc_ptr<char> dir(find_directory(envp, cwd));
	if (dir == nullptr)
		return (false);
	char *source = find_source(argv, dir.get(), cwd);
	if (source == NULL)
		return (false);
	*directory = dir.release();
	*file = source;
	return (true);
}

bool
recognize_all_command(const string_list *argv, int first,
    const string_list *envp, const proc_cwd_info *cwd, char **directory,
    string_list **files, char **output)
{
	std::vector<const char *> args;
	const cJSON *item;
	compile_args parts;

	cJSON_ArrayForEach(item, argv) {
		const char *arg = cJSON_GetStringValue(item);

		if (arg == NULL)
			return (false);
		args.push_back(arg);
	}
	if (first < 0 || (size_t)first >= args.size())
		return (false);
	read_compile_args(args.data() + first, (int)(args.size() - first),
	    &parts);
	if (!parts.compiles || parts.sources.empty())
		return (false);

	malloc_ptr<char> dir(find_directory(envp, cwd));
	string_list_ptr found(cJSON_CreateArray());
	if (dir == nullptr || found == nullptr)
		return (false);
	for (int i : parts.sources) {
		const char *arg = args[first + i];
		char *path;

		if ((path = source_path(dir.get(), arg)) == NULL)
			return (false);
		if (is_source_file(path, cwd))
			cJSON_AddItemToArray(found.get(),
			    cJSON_CreateString(path));
		free(path);
	}
	int n = cJSON_GetArraySize(found.get());
	if (n == 0)
		return (false);
	*output = NULL;
	if (n == 1 && parts.output != NULL &&
	    (*output = strdup(parts.output)) == NULL)
		return (false);
	*directory = dir.release();
	*files = found.release();
	return (true);
}

void
record_compile_command(tracer_info *info, const string_list *argv,
    const string_list *envp, const proc_cwd_info *cwd)
{
	char *directory, *file;

	if (!recognize_compile_command(argv, envp, cwd, &directory, &file))
		return;
	db_append_entry(info, directory, file, argv);
	free(directory);
	free(file);
}

void
free_compile_entry(compile_entry *entry)
{
	if (entry == NULL)
		return;
	free(entry->directory);
	free(entry->file);
	cJSON_Delete(entry->arguments);
	free(entry);
}

// Here, not with exec capture, so that the registry can use it without the
// tracer's platform.
void
forget_exec(traced_thread *thread)
{
	free_compile_entry(thread->pending);
	thread->pending = nullptr;
	cJSON_Delete(thread->exec.more_files);
	free(thread->exec.output);
	thread->exec = exec_state{};
}
