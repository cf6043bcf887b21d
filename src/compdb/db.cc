// The compilation database file: a JSON array written entry by entry with
// plain formatted output, each entry flushed as soon as it is complete.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include "compdb/compdb.h"
#include "tracer/tracer.h"

run_options options;
uint32_t entry_count;
int db_error;

// A write that fails is remembered, not fatal: the build is the user's and
// goes on; the failure is reported when it has ended.
static void
check_stream(FILE *out)
{
	if (ferror(out) && db_error == 0)
		db_error = errno != 0 ? errno : EIO;
}

// Writes s with the escapes cJSON applies to string items, so that the
// directory and file read exactly like the arguments printed by cJSON.
// Straight to the stream: no buffer that could fail to be allocated.
static void
put_escaped(FILE *out, const char *s)
{
	const unsigned char *p = (const unsigned char *)s;

	for (;;) {
		const unsigned char *run = p;

		while (*p >= 0x20 && *p != '"' && *p != '\\')
			p++;
		fwrite(run, 1, p - run, out);
		switch (*p) {
		case '\0':
			return;
		case '"':
			fputs("\\\"", out);
			break;
		case '\\':
			fputs("\\\\", out);
			break;
		case '\b':
			fputs("\\b", out);
			break;
		case '\f':
			fputs("\\f", out);
			break;
		case '\n':
			fputs("\\n", out);
			break;
		case '\r':
			fputs("\\r", out);
			break;
		case '\t':
			fputs("\\t", out);
			break;
		default:
			fprintf(out, "\\u%04x", *p);
			break;
		}
		p++;
	}
}

void
db_open_array(tracer_info *info)
{
	// Out at once: a tool killed before the first entry leaves a file
	// that is plainly the start of an array.
	fputs("[\n", info->out);
	fflush(info->out);
	check_stream(info->out);
}

void
db_append_entry(tracer_info *info, const char *directory, const char *file,
    const string_list *arguments, const char *output, bool /* own_view */)
{
	FILE *out = info->out;

	if (entry_count++ != 0)
		fputs(",\n", out);
	fputs("{\n\"directory\": \"", out);
	put_escaped(out, directory);
	fputs("\",\n\"file\": \"", out);
	put_escaped(out, file);
	fputs("\",\n", out);

	malloc_ptr<char> text(cJSON_PrintBuffered(arguments, 256, 1));
	// Out of memory: directory and file are already out, so an empty
	// array keeps the file a valid JSON array.
	fprintf(out, "\"arguments\": %s", text ? text.get() : "[]");
	if (output != nullptr) {
		fputs(",\n\"output\": \"", out);
		put_escaped(out, output);
		fputs("\"", out);
	}
	fputs("\n}", out);
	fflush(out);
	check_stream(out);
}

void
db_close_array(tracer_info *info)
{
	fputs("\n]", info->out);
	fflush(info->out);
	check_stream(info->out);
}

// Copies everything written to the stream into a new file beside path, then
// renames it to path.  -1 with errno on failure.
static int
rewrite_file(FILE *out, const char *path)
{
	char buf[65536];
	char *tmp;
	mode_t mask;
	size_t n;
	int fd;

	if (asprintf(&tmp, "%s.XXXXXX", path) == -1)
		return -1;
	malloc_ptr<char> tmp_owner(tmp);
	if ((fd = mkstemp(tmp)) == -1)
		return -1;
	// The permissions fopen would have given it.
	mask = umask(0);
	umask(mask);
	if (fchmod(fd, 0666 & ~mask) == -1)
		goto fail;
	rewind(out);
	while ((n = fread(buf, 1, sizeof(buf), out)) > 0) {
		for (size_t done = 0; done < n;) {
			ssize_t w = write(fd, buf + done, n - done);
			if (w == -1) {
				if (errno == EINTR)
					continue;
				goto fail;
			}
			done += (size_t)w;
		}
	}
	if (ferror(out) || close(fd) == -1) {
		fd = -1;
		goto fail;
	}
	fd = -1;
	if (rename(tmp, path) == -1)
		goto fail;
	return 0;
fail:
	int saved = errno;
	if (fd != -1)
		close(fd);
	unlink(tmp);
	errno = saved;
	return -1;
}

// The name the file was opened by, through a symbolic link if it is one,
// so that a rewrite keeps the user's link.
static malloc_ptr<char>
file_name(void)
{
	char target[PATH_MAX];
	struct stat sb;
	ssize_t n;

	if (lstat(options.output, &sb) == 0 && S_ISLNK(sb.st_mode) &&
	    (n = readlink(options.output, target, sizeof(target) - 1)) > 0) {
		target[n] = '\0';
		return malloc_ptr<char>(strdup(target));
	}
	return malloc_ptr<char>(strdup(options.output));
}

int
db_finish(tracer_info *info)
{
	FILE *out = info->out;
	struct stat ours, named;

	// A build that removes or replaces the file (make clean, its own
	// database) must not take the entries with it.
	if (db_error == 0 && fstat(fileno(out), &ours) == 0 &&
	    (stat(options.output, &named) == -1 || named.st_dev != ours.st_dev ||
	    named.st_ino != ours.st_ino)) {
		malloc_ptr<char> name = file_name();

		if (name == nullptr || rewrite_file(out, name.get()) == -1)
			db_error = errno;
		else
			warnx("%s was removed or replaced during the build; "
			    "written again", options.output);
	}
	if (fclose(out) == EOF && db_error == 0)
		db_error = errno;
	info->out = nullptr;
	if (db_error != 0) {
		errno = db_error;
		warn("cannot write %s", options.output);
		return -1;
	}
	return 0;
}
