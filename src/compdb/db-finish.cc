// The end of the run: the file compared with the copy and written again
// from it, under the name decided at start, where the build removed,
// replaced or altered it or where -a or --all leave entries out; the user's
// link put back.
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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

#include "compdb/db.h"
#include "tracer/tracer.h"

static char file_buf[65536];

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
	struct stat sb, ours;
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
	bool same = name_holds(&ours);
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
