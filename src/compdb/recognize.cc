// Compile command recognition: a compiler by the name of its program, the
// directory from PWD and the source from the last existing source argument.
#include <sys/stat.h>

#include <err.h>
#include <regex.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "compdb/compdb.h"

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
find_directory(const string_list *envp)
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

// Scans argv from the last item down to item 1 for an existing regular
// file that the source pattern names; item 0 is the program.
static char *
find_source(const string_list *argv, const char *directory)
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
		struct stat sb;
		char *path;

		if (arg == NULL)
			continue;
		// An empty argument leaves the command in doubt.
		if (arg[0] == '\0')
			return (NULL);
		if (!matches(&source_pattern, arg))
			continue;
		if (arg[0] == '/')
			path = strdup(arg);
		else if (asprintf(&path, "%s/%s", directory, arg) == -1)
			path = NULL;
		if (path == NULL)
			return (NULL);
		if (stat(path, &sb) == 0 && S_ISREG(sb.st_mode))
			return (path);
		free(path);
	}
	return (NULL);
}

bool
recognize_compile_command(const string_list *argv, const string_list *envp,
    char **directory, char **file)
{
	const char *program;

	if (cJSON_GetArraySize(argv) < 1)
		return (false);
	program = cJSON_GetStringValue(cJSON_GetArrayItem(argv, 0));
	if (program == NULL || !matches(&compiler_pattern, program))
		return (false);

	malloc_ptr<char> dir(find_directory(envp));
	if (dir == nullptr)
		return (false);
	char *source = find_source(argv, dir.get());
	if (source == NULL)
		return (false);
	*directory = dir.release();
	*file = source;
	return (true);
}

void
record_compile_command(tracer_info *info, const string_list *argv,
    const string_list *envp)
{
	char *directory, *file;

	if (!recognize_compile_command(argv, envp, &directory, &file))
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
