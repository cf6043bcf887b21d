// Reading a compilation database: the entries of the file that -a keeps,
// and the copy once more at the end of a run whose options leave some out.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>

#include "compdb/db.h"

void
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

cJSON *
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

const char *
string_of(const cJSON *entry, const char *key)
{
	return cJSON_GetStringValue(
	    cJSON_GetObjectItemCaseSensitive(entry, key));
}

void
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
		size_t want = size - len - 2;
		ssize_t n = read_at(db.fd, text.get() + len, want, (off_t)len);
		if (n == -1)
			err(1, "cannot read %s", options.output);
		len += (size_t)n;
		if ((size_t)n < want)
			break;
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

void
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
