// The compilation database file: a JSON array written entry by entry with
// plain formatted output, each entry flushed as soon as it is complete; and
// the file's life up to the first stop: where it goes, checked and opened
// before the build starts, truncated once the command has started.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include "compdb/db.h"
#include "tracer/tracer.h"

run_options options;
uint32_t entry_count;
int db_error;
db_state db;

// A descriptor of a directory that is only searched and written in.
#ifdef O_PATH
#define DIR_FLAGS (O_PATH | O_DIRECTORY | O_CLOEXEC)
#else
#define DIR_FLAGS (O_RDONLY | O_DIRECTORY | O_CLOEXEC)
#endif

// A write that fails is remembered, not fatal: the build is the user's and
// goes on; the failure is reported when it has ended.
static void
check_stream(FILE *out)
{
	int *error = db.active ? &db.copy_error : &db_error;

	if (ferror(out) && *error == 0)
		*error = errno != 0 ? errno : EIO;
}

static int
write_all(int fd, const char *buf, size_t len)
{
	while (len > 0) {
		ssize_t n = write(fd, buf, len);

		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0) {
			if (n == 0)
				errno = EIO;
			return -1;
		}
		buf += n;
		len -= (size_t)n;
	}
	return 0;
}

ssize_t
read_at(int fd, char *buf, size_t len, off_t off)
{
	size_t done = 0;

	while (done < len) {
		ssize_t n = pread(fd, buf + done, len - done, off + (off_t)done);

		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1)
			return -1;
		if (n == 0)
			break;
		done += (size_t)n;
	}
	return (ssize_t)done;
}

char copy_buf[65536];

// Brings the file up to date with the copy: what was flushed to the copy
// since the last call, read back from it.  After a failure the file is left
// as it is: the run ends with "cannot write".
static void
mirror(FILE *out)
{
	off_t end;

	if (!db.active || !db.started || db_error != 0 || db.copy_error != 0)
		return;
	if ((end = ftello(out)) == -1) {
		db.copy_error = errno;
		return;
	}
	while (db.mirrored < end) {
		size_t want = (size_t)std::min<off_t>(end - db.mirrored,
		    sizeof(copy_buf));
		ssize_t n = read_at(fileno(out), copy_buf, want, db.mirrored);

		if (n <= 0) {
			db.copy_error = n == 0 ? EIO : errno;
			return;
		}
		if (write_all(db.fd, copy_buf, (size_t)n) == -1) {
			db_error = errno;
			return;
		}
		db.mirrored += n;
	}
}

// Each piece of the array goes out as soon as it is written: to the copy,
// then from it to the file.
static void
flush_out(FILE *out)
{
	fflush(out);
	check_stream(out);
	mirror(out);
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
put_entry(FILE *out, const char *directory, const char *file,
    const string_list *arguments, const char *output)
{
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
}

// --- The file's life ------------------------------------------------------

// Resolves path, through every symbolic link in its last component, to a
// directory descriptor and a name in it that is not a link.  -1 with errno
// on failure.
static int
resolve_target(const char *path, int *dirp, malloc_ptr<char> *namep)
{
	char link[PATH_MAX];
	std::string p = path;
	int dir = AT_FDCWD;
	struct stat sb;

	for (int links = 0;; links++) {
		size_t slash = p.rfind('/');
		std::string up = slash == std::string::npos ? "." :
		    p.substr(0, slash + 1);
		std::string name = slash == std::string::npos ? p :
		    p.substr(slash + 1);
		int next;

		if (name.empty() || name == "." || name == "..") {
			errno = EISDIR;
			break;
		}
		if ((next = openat(dir, up.c_str(), DIR_FLAGS)) == -1)
			break;
		if (dir != AT_FDCWD)
			close(dir);
		dir = next;
		bool missing = fstatat(dir, name.c_str(), &sb,
		    AT_SYMLINK_NOFOLLOW) == -1;
		if (missing && errno != ENOENT)
			break;
		if (missing || !S_ISLNK(sb.st_mode)) {
			namep->reset(strdup(name.c_str()));
			if (*namep == nullptr)
				break;
			*dirp = dir;
			return 0;
		}
		ssize_t n = readlinkat(dir, name.c_str(), link, sizeof(link));
		if (n == -1)
			break;
		if ((size_t)n == sizeof(link) || links == 40) {
			errno = (size_t)n == sizeof(link) ? ENAMETOOLONG : ELOOP;
			break;
		}
		p.assign(link, (size_t)n);
	}
	int saved = errno;
	if (dir != AT_FDCWD)
		close(dir);
	errno = saved;
	return -1;
}

bool
name_holds(const struct stat *sb)
{
	struct stat named;

	return fstatat(db.dir, db.name.get(), &named,
	    AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == sb->st_dev &&
	    named.st_ino == sb->st_ino;
}

// A file the command never ran for is left as it was: one this run made
// for the opening checks goes again.  Only the tool's own process removes
// it: a child that fails before its exec leaves through exit() too.
static void
forget_created_file(void)
{
	struct stat ours;

	if (!db.active || db.started || !db.created || getpid() != db.owner)
		return;
	if (fstat(db.fd, &ours) == 0 && name_holds(&ours) && ours.st_size == 0)
		unlinkat(db.dir, db.name.get(), 0);
}

static int
open_file(void)
{
	const int flags = O_APPEND | O_NOCTTY | O_CLOEXEC;
	int fd;

	for (int tries = 0; tries < 3; tries++) {
		// Nothing is truncated before the command has started.  With
		// the copy the file needs only to be writable.
		db.readable = true;
		fd = open(options.output, O_RDWR | flags);
		if (fd == -1 && errno == EACCES) {
			db.readable = false;
			fd = open(options.output, O_WRONLY | flags);
		}
		if (fd != -1 || errno != ENOENT)
			return fd;
		// Missing, or a link to a missing file: created where the
		// link leads, as fopen would.
		if (resolve_target(options.output, &db.dir, &db.name) == -1)
			return -1;
		db.readable = true;
		fd = openat(db.dir, db.name.get(), O_RDWR | O_CREAT | O_EXCL |
		    O_NOFOLLOW | flags, 0666);
		if (fd != -1) {
			db.created = true;
			return fd;
		}
		if (errno != EEXIST)
			return -1;
		close(db.dir);
		db.dir = -1;
	}
	return -1;
}

// The user's own symbolic link at the name given, if it is one.
static void
note_user_link(void)
{
	char text[PATH_MAX];
	const char *slash = strrchr(options.output, '/');
	const char *name = slash != nullptr ? slash + 1 : options.output;
	std::string up = slash != nullptr ?
	    std::string(options.output, slash + 1) : ".";
	struct stat sb;
	ssize_t n;
	int dir;

	if ((dir = openat(AT_FDCWD, up.c_str(), DIR_FLAGS)) == -1)
		return;
	if (fstatat(dir, name, &sb, AT_SYMLINK_NOFOLLOW) == -1 ||
	    !S_ISLNK(sb.st_mode) ||
	    (n = readlinkat(dir, name, text, sizeof(text))) <= 0 ||
	    (size_t)n == sizeof(text) ||
	    (db.link_name = malloc_ptr<char>(strdup(name))) == nullptr) {
		close(dir);
		return;
	}
	db.link_dir = dir;
	db.link_text.assign(text, (size_t)n);
}

void
db_prepare(tracer_info *info)
{
	static bool registered;
	struct stat sb;
	int fd;

	if (!registered && atexit(forget_created_file) == 0)
		registered = true;
	db.active = true;
	db.owner = getpid();
	if ((db.fd = open_file()) == -1 || fstat(db.fd, &sb) == -1)
		err(1, "cannot open %s", options.output);
	db.regular = S_ISREG(sb.st_mode);
	// The file it is now, found again by a name that is no link, is the
	// one rewritten at the end: never a path a link of the build names.
	if (db.regular && !db.created) {
		if (resolve_target(options.output, &db.dir, &db.name) == 0 &&
		    !name_holds(&sb)) {
			close(db.dir);
			db.dir = -1;
		}
	}
	if (db.dir != -1)
		note_user_link();
	if (options.append && db.regular)
		read_old_entries();

	if ((info->out = tmpfile()) == nullptr ||
	    (fd = fileno(info->out)) == -1 ||
	    fcntl(fd, F_SETFD, FD_CLOEXEC) == -1)
		err(1, "cannot make a temporary copy of %s", options.output);
}

// The command has started: the file is truncated only now, so that a
// command that never runs leaves it as it was.
static void
start_file(void)
{
	db.started = true;
	if (db.regular && ftruncate(db.fd, 0) == -1 && db_error == 0)
		db_error = errno;
}

void
db_open_array(tracer_info *info)
{
	if (db.active)
		start_file();
	// Out at once: a tool killed before the first entry leaves a file
	// that is plainly the start of an array.
	fputs("[\n", info->out);
	if (db.old_text != nullptr)
		put_old_entries(info->out);
	flush_out(info->out);
}

void
db_append_entry(tracer_info *info, const char *directory, const char *file,
    const string_list *arguments, const char *output, bool own_view)
{
	if (options.all && !own_view)
		db.foreign.push_back(entry_count);
	put_entry(info->out, directory, file, arguments, output);
	flush_out(info->out);
}

void
db_close_array(tracer_info *info)
{
	fputs("\n]", info->out);
	flush_out(info->out);
}
