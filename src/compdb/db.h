// The compilation database file, in three parts: entries written and the
// file's life up to the first stop (db.cc), a database read back
// (db-read.cc) and the end of the run (db-finish.cc).  Nothing outside these
// files includes this header.
//
// The build is not trusted with the file.  Its name is resolved once, before
// the build starts, to a directory held open and a name in it; entries go
// first to a copy that the build cannot reach (an unlinked temporary file)
// and from there to the file.  Once the build has ended, the file is
// compared with the copy and written again from it, atomically and in that
// directory only, where the build removed, replaced or altered it.
#ifndef CCTRACE_COMPDB_DB_H
#define CCTRACE_COMPDB_DB_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "compdb/compdb.h"

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
extern db_state db;

// --- Writing and the file's life (db.cc) -----------------------------------

// What the copy is read back through, a piece at a time.
extern char copy_buf[65536];

// Reads len bytes at off, or fewer at the end of the file; -1 with errno.
ssize_t read_at(int fd, char *buf, size_t len, off_t off);
// Writes one entry, after a separator unless it is the first.
void put_entry(FILE *out, const char *directory, const char *file,
    const string_list *arguments, const char *output);
// Whether the name decided at start holds the file sb describes, itself and
// not a link to it.
bool name_holds(const struct stat *sb);

// --- Reading a database (db-read.cc) ---------------------------------------

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

void reader_init(db_reader *r, const char *text, size_t len);
// The next entry, checked, for the caller to delete, with its text from
// *start up to r->p; nullptr at the end of the array, or where the text is
// no database (r->why says why).  A text that ends inside an entry or
// without "]" ends at its last complete entry, with r->truncated set.
cJSON *reader_next(db_reader *r, const char **start);
// The string an entry holds under key, or nullptr.
const char *string_of(const cJSON *entry, const char *key);
// -a: reads the file's entries before the build starts.  A file that is no
// database ends the tool here and is left as it is.
void read_old_entries(void);
// -a, at the first stop: the entries read at start, before this run's.
void put_old_entries(FILE *out);

#endif
