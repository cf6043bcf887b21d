// The compilation database file: a JSON array written entry by entry with
// plain formatted output, each entry flushed as soon as it is complete.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compdb/compdb.h"
#include "tracer/tracer.h"

uint32_t entry_count;

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
	// Out at once: a tool killed before the first entry leaves "[", not
	// an empty file that looks like a command that never ran.
	fputs("[\n", info->out);
	fflush(info->out);
}

void
db_append_entry(tracer_info *info, const char *directory, const char *file,
    const string_list *arguments)
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
	fprintf(out, "\"arguments\": %s\n}", text ? text.get() : "[]");
	fflush(out);
}

void
db_close_array(tracer_info *info)
{
	fputs("\n]", info->out);
	fflush(info->out);
}
