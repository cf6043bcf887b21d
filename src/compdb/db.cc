// The compilation database file: a JSON array written entry by entry with
// plain formatted output, each entry flushed as soon as it is complete.
//
// The build is not trusted with the file.  Its name is resolved once, before
// the build starts, to a directory held open and a name in it; entries go
// first to a copy that the build cannot reach (an unlinked temporary file)
// and from there to the file.  Once the build has ended, the file is
// compared with the copy and written again from it, atomically and in that
// directory only, where the build removed, replaced or altered it.
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include "compdb/compdb.h"
#include "tracer/tracer.h"

run_options options;
uint32_t entry_count;
int db_error;

// A descriptor of a directory that is only searched and written in.
#ifdef O_PATH
#define DIR_FLAGS (O_PATH | O_DIRECTORY | O_CLOEXEC)
#else
#define DIR_FLAGS (O_RDONLY | O_DIRECTORY | O_CLOEXEC)
#endif

// The file of a run, from db_prepare to db_finish.  Unit tests that write to
// a stream of their own leave it inactive.
struct db_state {
	bool active = false;
	pid_t owner = 0;	// the tool's own process
	int fd = -1;		// the file as opened at start, O_APPEND
	bool readable = false;
	bool regular = false;
	int dir = -1;		// its directory, or -1 where it cannot be rewritten
	malloc_ptr<char> name;	// its name there
	// Where the name given is the user's symbolic link: its directory,
	// name and text, to put it back should the build remove it.
	int link_dir = -1;
	malloc_ptr<char> link_name;
	std::string link_text;
	bool created = false;	// made by this run for the opening checks
	bool started = false;	// the command has started: the file is ours
	off_t mirrored = 0;	// bytes of the copy that were written to the file
	int copy_error = 0;	// errno of the first failed write to the copy
	malloc_ptr<char> old_text;	// -a: the file's text until the first stop
	size_t old_len = 0;
	uint32_t kept = 0;	// -a: entries of the old file, written first
	// --all: entries whose source the tool cannot look up by its path.
	std::vector<uint32_t> foreign;
};
static db_state db;

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

// Reads len bytes at off, or fewer at the end of the file; -1 with errno.
static ssize_t
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

// What the copy and the file are read back through, a piece at a time.
static char copy_buf[65536], file_buf[65536];

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

static void
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

// --- Reading a database ----------------------------------------------------

// Steps through the text of a database, one entry at a time: cJSON parses
// each entry, the reader steps over the array's "[", "," and "]".
struct db_reader {
	const char *text;
	const char *p;
	const char *end;
	enum { OPEN, FIRST, SEPARATOR, ENTRY, DONE } expect;
	uint32_t count;		// entries read
	bool truncated;		// it ends before its closing "]"
	char why[200];		// what makes it no database, or ""
};

static void
reader_init(db_reader *r, const char *text, size_t len)
{
	r->text = r->p = text;
	r->end = text + len;
	r->expect = db_reader::OPEN;
	r->count = 0;
	r->truncated = false;
	r->why[0] = '\0';
}

static size_t
line_of(const db_reader *r, const char *at)
{
	return 1 + std::count(r->text, at, '\n');
}

static cJSON *
reader_fail(db_reader *r, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(r->why, sizeof(r->why), fmt, ap);
	va_end(ap);
	r->expect = db_reader::DONE;
	return nullptr;
}

static void
skip_space(db_reader *r)
{
	while (r->p < r->end && (*r->p == ' ' || *r->p == '\t' ||
	    *r->p == '\n' || *r->p == '\r'))
		r->p++;
}

// Whether the text from where cJSON failed up to the end is only what a
// killed writer leaves: nothing, or one string, literal or number cut short.
// cJSON puts a failure in a string just after its opening quote, at the
// start of any other token, and at the last byte where the text ran out;
// the reader's texts end in a blank so that the last two stay apart.
static bool
cut_short(const char *text, const char *at, const char *end)
{
	const char *q = at;
	bool in_string = q > text && q[-1] == '"';

	if (!in_string && q < end && *q == '"') {
		in_string = true;
		q++;
	}
	if (in_string) {
		for (; q < end; q++) {
			if (*q == '\\')
				q++;
			else if (*q == '"')
				return false;
		}
		return true;
	}
	while (q < end && (isalnum((unsigned char)*q) || *q == '-' ||
	    *q == '+' || *q == '.'))
		q++;
	while (q < end && (*q == ' ' || *q == '\t' || *q == '\n' ||
	    *q == '\r'))
		q++;
	return q == end;
}

// An entry holds strings "directory" and "file", an "arguments" array of
// strings and at most an "output" string: nothing the file could not keep.
static bool
check_entry(const cJSON *item, char *why, size_t len)
{
	static const char *const names[] = { "directory", "file", "arguments",
	    "output" };
	const cJSON *seen[4] = {};
	const cJSON *key, *other = nullptr, *a;

	if (!cJSON_IsObject(item)) {
		snprintf(why, len, "is not an object");
		return false;
	}
	cJSON_ArrayForEach(key, item) {
		size_t i = 0;

		while (i < 4 && strcmp(key->string, names[i]) != 0)
			i++;
		if (i == 4) {
			other = other != nullptr ? other : key;
			continue;
		}
		if (seen[i] != nullptr) {
			snprintf(why, len, "has \"%s\" twice", names[i]);
			return false;
		}
		seen[i] = key;
	}
	for (size_t i = 0; i < 2; i++) {
		if (!cJSON_IsString(seen[i])) {
			snprintf(why, len, "has no string \"%s\"", names[i]);
			return false;
		}
	}
	bool strings = cJSON_IsArray(seen[2]);
	for (a = strings ? seen[2]->child : nullptr; a != nullptr; a = a->next)
		strings = strings && cJSON_IsString(a);
	if (!strings) {
		snprintf(why, len, "has no \"arguments\" array of strings");
		return false;
	}
	if (seen[3] != nullptr && !cJSON_IsString(seen[3])) {
		snprintf(why, len, "has an \"output\" that is not a string");
		return false;
	}
	// Kept entries are written anew: a key of another tool would be lost.
	if (other != nullptr) {
		snprintf(why, len, "has a key \"%.40s\" of its own",
		    other->string);
		return false;
	}
	return true;
}

// The next entry, checked, for the caller to delete, with its text from
// *start up to r->p; nullptr at the end of the array, or where the text is
// no database (r->why says why).  A text that ends inside an entry or
// without "]" ends at its last complete entry, with r->truncated set.
static cJSON *
reader_next(db_reader *r, const char **start)
{
	for (;;) {
		skip_space(r);
		bool at_end = r->p == r->end;

		switch (r->expect) {
		case db_reader::OPEN:
			// No text at all: no entry yet.
			if (at_end) {
				r->expect = db_reader::DONE;
				return nullptr;
			}
			if (*r->p != '[')
				return reader_fail(r, "it is not a JSON array");
			r->p++;
			r->expect = db_reader::FIRST;
			continue;
		case db_reader::SEPARATOR:
			if (!at_end && *r->p == ',') {
				r->p++;
				r->expect = db_reader::ENTRY;
				continue;
			}
			if (!at_end && *r->p != ']')
				return reader_fail(r, "a ',' or ']' is missing "
				    "on line %zu", line_of(r, r->p));
			break;
		case db_reader::FIRST:
		case db_reader::ENTRY:
			break;
		case db_reader::DONE:
			return nullptr;
		}
		if (at_end) {
			r->truncated = true;
			r->expect = db_reader::DONE;
			return nullptr;
		}
		if (*r->p == ']' && r->expect != db_reader::ENTRY) {
			r->p++;
			skip_space(r);
			if (r->p != r->end)
				return reader_fail(r, "there is more after its "
				    "closing ] on line %zu", line_of(r, r->p));
			r->expect = db_reader::DONE;
			return nullptr;
		}

		const char *stop = nullptr;
		cJSON *item = cJSON_ParseWithLengthOpts(r->p,
		    (size_t)(r->end - r->p), &stop, 0);
		if (stop == nullptr)
			stop = r->p;
		if (item == nullptr) {
			if (cut_short(r->p, stop, r->end)) {
				r->truncated = true;
				r->expect = db_reader::DONE;
				return nullptr;
			}
			return reader_fail(r, "invalid JSON on line %zu",
			    line_of(r, stop));
		}
		char why[100];
		if (!check_entry(item, why, sizeof(why))) {
			cJSON_Delete(item);
			return reader_fail(r, "entry %u on line %zu %s",
			    r->count + 1, line_of(r, r->p), why);
		}
		*start = r->p;
		r->p = stop;
		r->count++;
		r->expect = db_reader::SEPARATOR;
		return item;
	}
}

static const char *
string_of(const cJSON *entry, const char *key)
{
	return cJSON_GetStringValue(
	    cJSON_GetObjectItemCaseSensitive(entry, key));
}

// -a: reads the file's entries before the build starts.  A file that is no
// database ends the tool here and is left as it is.
static void
read_old_entries(void)
{
	size_t len = 0, size = 65536;
	struct stat sb;
	db_reader r;
	const char *start;
	cJSON *item;

	if (!db.readable) {
		errno = EACCES;
		err(1, "cannot read %s", options.output);
	}
	if (fstat(db.fd, &sb) == 0 && sb.st_size > 0)
		size = (size_t)sb.st_size + 3;
	malloc_ptr<char> text(static_cast<char *>(malloc(size)));
	if (text == nullptr)
		err(1, "cannot read %s", options.output);
	for (;;) {
		// Room for the blank and the NUL that end the text.
		if (size - len < 3) {
			char *more = static_cast<char *>(realloc(text.get(),
			    size * 2));
			if (more == nullptr)
				err(1, "cannot read %s", options.output);
			(void)text.release();
			text.reset(more);
			size *= 2;
		}
		ssize_t n = pread(db.fd, text.get() + len, size - len - 2,
		    (off_t)len);
		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1)
			err(1, "cannot read %s", options.output);
		if (n == 0)
			break;
		len += (size_t)n;
	}
	text.get()[len++] = ' ';
	text.get()[len] = '\0';

	reader_init(&r, text.get(), len);
	while ((item = reader_next(&r, &start)) != nullptr)
		cJSON_Delete(item);
	if (r.why[0] != '\0')
		errx(1, "%s is not a compilation database: %s", options.output,
		    r.why);
	if (r.truncated)
		warnx("%s was left unfinished; its entries are kept up to its "
		    "last complete one", options.output);
	if (r.count == 0)
		return;
	db.kept = r.count;
	db.old_text = std::move(text);
	db.old_len = len;
}

// -a, at the first stop: the entries read at start, before this run's.
static void
put_old_entries(FILE *out)
{
	db_reader r;
	const char *start;
	cJSON *item;

	reader_init(&r, db.old_text.get(), db.old_len);
	while ((item = reader_next(&r, &start)) != nullptr) {
		string_list_ptr entry(item);

		put_entry(out, string_of(item, "directory"),
		    string_of(item, "file"),
		    cJSON_GetObjectItemCaseSensitive(item, "arguments"),
		    string_of(item, "output"));
	}
	db.old_text.reset();
}

// --- The file's life ------------------------------------------------------

// A name beside base that nothing is likely to hold: base, a dot and six
// random letters.
static std::string
temp_name(const char *base)
{
	static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
	    "abcdefghijklmnopqrstuvwxyz0123456789";
	std::string tmp = std::string(base) + ".";

	for (int i = 0; i < 6; i++)
		tmp += letters[arc4random_uniform(sizeof(letters) - 1)];
	return tmp;
}

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

// A file the command never ran for is left as it was: one this run made
// for the opening checks goes again.  Only the tool's own process removes
// it: a child that fails before its exec leaves through exit() too.
static void
forget_created_file(void)
{
	struct stat ours, named;

	if (!db.active || db.started || !db.created || getpid() != db.owner)
		return;
	if (fstat(db.fd, &ours) == 0 &&
	    fstatat(db.dir, db.name.get(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
	    named.st_dev == ours.st_dev && named.st_ino == ours.st_ino &&
	    named.st_size == 0)
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

// Puts the user's link back where the build removed or replaced it: a new
// link with its text, renamed over whatever is there now.  1 if it did, 0
// if the link is as it was, -1 with errno.
static int
restore_user_link(void)
{
	char text[PATH_MAX];
	std::string tmp;
	ssize_t n;

	if (db.link_dir == -1)
		return 0;
	n = readlinkat(db.link_dir, db.link_name.get(), text, sizeof(text));
	if (n >= 0 && std::string_view(text, (size_t)n) == db.link_text)
		return 0;
	for (int tries = 0;; tries++) {
		tmp = temp_name(db.link_name.get());
		if (symlinkat(db.link_text.c_str(), db.link_dir,
		    tmp.c_str()) == 0)
			break;
		if (errno != EEXIST || tries == 100)
			return -1;
	}
	if (renameat(db.link_dir, tmp.c_str(), db.link_dir,
	    db.link_name.get()) == -1) {
		int saved = errno;
		unlinkat(db.link_dir, tmp.c_str(), 0);
		errno = saved;
		return -1;
	}
	return 1;
}

void
db_prepare(tracer_info *info)
{
	static bool registered;
	struct stat sb, named;
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
		    (fstatat(db.dir, db.name.get(), &named,
		    AT_SYMLINK_NOFOLLOW) == -1 || named.st_dev != sb.st_dev ||
		    named.st_ino != sb.st_ino)) {
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
	fflush(info->out);
	check_stream(info->out);
	mirror(info->out);
}

void
db_append_entry(tracer_info *info, const char *directory, const char *file,
    const string_list *arguments, const char *output, bool own_view)
{
	if (options.all && !own_view)
		db.foreign.push_back(entry_count);
	put_entry(info->out, directory, file, arguments, output);
	fflush(info->out);
	check_stream(info->out);
	mirror(info->out);
}

void
db_close_array(tracer_info *info)
{
	fputs("\n]", info->out);
	fflush(info->out);
	check_stream(info->out);
	mirror(info->out);
}

// --- The end of the run -------------------------------------------------

// One entry of the copy, as the final file keeps it or not.
struct db_span {
	const char *start, *stop;
	bool keep;
};

// Whether a source checked in the tool's own view has gone since (a
// configure probe, say).  Where it cannot tell, the entry stays.
static bool
source_gone(const char *directory, const char *file)
{
	struct stat sb;
	std::string path = file;

	if (file[0] != '/')
		path = std::string(directory) + "/" + file;
	return stat(path.c_str(), &sb) == -1 &&
	    (errno == ENOENT || errno == ENOTDIR);
}

// Which entries of the copy the final file keeps: -a drops the old entries
// that this run recorded again (same directory and file), --all drops this
// run's entries whose source has gone and keeps the last of identical ones.
// true when some entry goes.
static bool
plan_final(const char *text, size_t len, std::vector<db_span> *spans)
{
	std::vector<std::string> old_keys;
	std::unordered_set<std::string> new_keys;
	std::unordered_map<std::string_view, size_t> last;
	const char *start;
	cJSON *item;
	db_reader r;
	bool changed = false;

	if (db.kept == 0 && !options.all)
		return false;
	reader_init(&r, text, len);
	while ((item = reader_next(&r, &start)) != nullptr) {
		string_list_ptr entry(item);
		uint32_t i = r.count - 1;
		const char *dir = string_of(item, "directory");
		const char *file = string_of(item, "file");
		bool keep = true;

		if (db.kept > 0) {
			std::string key = std::string(dir) + '\0' + file;
			if (i < db.kept)
				old_keys.push_back(std::move(key));
			else
				new_keys.insert(std::move(key));
		}
		if (options.all && i >= db.kept &&
		    !std::binary_search(db.foreign.begin(), db.foreign.end(),
		    i) && source_gone(dir, file))
			keep = false;
		changed = changed || !keep;
		spans->push_back({ start, r.p, keep });
	}
	// Our own text: never so, but then it is kept as written.
	if (r.why[0] != '\0' || r.truncated)
		return false;
	for (size_t i = 0; i < old_keys.size(); i++) {
		if (new_keys.count(old_keys[i]) != 0) {
			(*spans)[i].keep = false;
			changed = true;
		}
	}
	if (options.all) {
		for (size_t i = db.kept; i < spans->size(); i++) {
			db_span &s = (*spans)[i];
			if (!s.keep)
				continue;
			auto [at, fresh] = last.try_emplace(
			    std::string_view(s.start, s.stop - s.start), i);
			if (!fresh) {
				(*spans)[at->second].keep = false;
				at->second = i;
				changed = true;
			}
		}
	}
	return changed;
}

// Whether the file holds what the copy holds.  One the tool may not read
// is taken by its size: written in append mode, it is shorter or longer
// than the copy after anything but a rewrite in place.
static bool
file_intact(int copy, size_t len)
{
	struct stat sb;

	if (fstat(db.fd, &sb) == -1 || (size_t)sb.st_size != len)
		return false;
	for (size_t done = 0; db.readable && done < len;) {
		size_t n = std::min(len - done, sizeof(copy_buf));

		if (read_at(copy, copy_buf, n, (off_t)done) != (ssize_t)n ||
		    read_at(db.fd, file_buf, n, (off_t)done) != (ssize_t)n ||
		    memcmp(copy_buf, file_buf, n) != 0)
			return false;
		done += n;
	}
	return true;
}

// Writes the database into a new file in the target's directory and renames
// it to the target's name there, whatever that name is now: a link the
// build put there is replaced, never followed.  The database is the copy's
// len bytes, or where spans are given the entries they keep.  old, where
// given, is the file it replaces, whose mode and owner it takes.  -1 with
// errno.
static int
rewrite_file(int copy, size_t len, const std::vector<db_span> *spans,
    const struct stat *old)
{
	std::string tmp;
	mode_t mode;
	FILE *f;
	int fd = -1;

	for (int tries = 0; fd == -1 && tries < 100; tries++) {
		tmp = temp_name(db.name.get());
		fd = openat(db.dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL |
		    O_NOFOLLOW | O_CLOEXEC, 0600);
		if (fd == -1 && errno != EEXIST)
			return -1;
	}
	if (fd == -1)
		return -1;
	if (old != nullptr) {
		mode = old->st_mode & 07777;
		// Root rewriting a user's file gives it back; others cannot,
		// and the file becomes theirs as any rewrite makes it.
		if (fchown(fd, old->st_uid, old->st_gid) == -1) {
			// Not ours to give.
		}
	} else {
		// The permissions fopen would have given it.
		mode = umask(0);
		umask(mode);
		mode = 0666 & ~mode;
	}
	if (fchmod(fd, mode) == -1 || (f = fdopen(fd, "w")) == nullptr) {
		int saved = errno;
		close(fd);
		unlinkat(db.dir, tmp.c_str(), 0);
		errno = saved;
		return -1;
	}
	int error = 0;
	if (spans == nullptr) {
		for (size_t done = 0; done < len; done += sizeof(copy_buf)) {
			size_t n = std::min(len - done, sizeof(copy_buf));
			ssize_t got = read_at(copy, copy_buf, n, (off_t)done);

			if (got != (ssize_t)n) {
				error = got == -1 ? errno : EIO;
				break;
			}
			fwrite(copy_buf, 1, n, f);
		}
	} else {
		const char *sep = "[\n";
		for (const db_span &s : *spans) {
			if (!s.keep)
				continue;
			fputs(sep, f);
			fwrite(s.start, 1, (size_t)(s.stop - s.start), f);
			sep = ",\n";
		}
		if (sep[0] == '[')
			fputs(sep, f);
		fputs("\n]", f);
	}
	if (ferror(f) && error == 0)
		error = errno != 0 ? errno : EIO;
	if (fclose(f) == EOF && error == 0)
		error = errno;
	if (error == 0 && renameat(db.dir, tmp.c_str(), db.dir,
	    db.name.get()) == 0)
		return 0;
	if (error == 0)
		error = errno;
	unlinkat(db.dir, tmp.c_str(), 0);
	errno = error;
	return -1;
}

// What the end of a run says of the file.
enum { SAID_NOTHING, SAID_CHANGED, SAID_REPLACED };

// The file once the build has ended: as the copy holds it, under the name
// decided at start, with the entries the options leave out gone.  true
// when it was written again.
static bool
settle_file(FILE *copy, int *said)
{
	struct stat sb, ours, named;
	std::vector<db_span> spans;
	bool rewritten = false;

	if (fstat(fileno(copy), &sb) == -1 || fstat(db.fd, &ours) == -1) {
		db.copy_error = errno;
		return false;
	}
	size_t len = (size_t)sb.st_size;
	void *map = nullptr;
	bool filtered = false;
	// The entries are read back only where -a or --all may leave some
	// out; then the copy is mapped, as the kept ones point into it.
	if (db.kept > 0 || options.all) {
		map = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fileno(copy),
		    0);
		if (map == MAP_FAILED) {
			db.copy_error = errno;
			return false;
		}
		filtered = plan_final(static_cast<const char *>(map), len,
		    &spans);
	}
	bool same = fstatat(db.dir, db.name.get(), &named,
	    AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == ours.st_dev &&
	    named.st_ino == ours.st_ino;
	bool intact = same && file_intact(fileno(copy), len);

	if (!intact || filtered) {
		rewritten = rewrite_file(fileno(copy), len,
		    filtered ? &spans : nullptr, same ? &ours : nullptr) == 0;
		if (!rewritten)
			db_error = errno;
		else if (!intact)
			*said = same ? SAID_CHANGED : SAID_REPLACED;
	}
	if (map != nullptr)
		munmap(map, len);
	return rewritten;
}

int
db_finish(tracer_info *info)
{
	FILE *out = info->out;
	int *error = db.active ? &db.copy_error : &db_error;
	int said = SAID_NOTHING;
	bool rewritten = false;

	// Only a file found again by its name at start is settled.
	if (db.active && db.dir != -1 && db_error == 0 && db.copy_error == 0) {
		rewritten = settle_file(out, &said);
		int link = db_error == 0 ? restore_user_link() : 0;
		if (link == -1)
			db_error = errno;
		else if (link == 1)
			said = SAID_REPLACED;
	}
	if (fclose(out) == EOF && *error == 0)
		*error = errno;
	info->out = nullptr;
	if (db.active) {
		// A write the file system reports only now (NFS) counts,
		// unless the file was written anew.
		if (close(db.fd) == -1 && !rewritten && db_error == 0)
			db_error = errno;
		if (db.dir != -1)
			close(db.dir);
		if (db.link_dir != -1)
			close(db.link_dir);
	}
	int copy_error = db.copy_error;
	db = db_state();
	if (db_error != 0) {
		errno = db_error;
		warn("cannot write %s", options.output);
		return -1;
	}
	if (copy_error != 0) {
		errno = copy_error;
		warn("cannot write the copy of %s", options.output);
		return -1;
	}
	if (said == SAID_REPLACED)
		warnx("%s was removed or replaced during the build; "
		    "written again", options.output);
	else if (said == SAID_CHANGED)
		warnx("%s was changed during the build; written again",
		    options.output);
	return 0;
}
