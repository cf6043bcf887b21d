// Small helpers shared by the unit tests.
#ifndef CCTRACE_TESTS_TEST_UTIL_H
#define CCTRACE_TESTS_TEST_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "compdb/string_list.h"

// A string list holding items, in order.
inline string_list_ptr
make_list(const std::vector<std::string> &items)
{
	string_list_ptr list(cJSON_CreateArray());
	for (const std::string &s : items)
		cJSON_AddItemToArray(list.get(), cJSON_CreateString(s.c_str()));
	return list;
}

// One entry of a database, as parsed back.
struct db_entry {
	std::string directory;
	std::string file;
	std::vector<std::string> arguments;
	std::string output = "";	// "" where the entry has none
	bool operator==(const db_entry &) const = default;
};

// Parses the text of a database into entries: false unless it is a JSON
// array of objects with exactly the three keys, and an "output" after them
// at most, of the right types.
inline bool
parse_db(const std::string &text, std::vector<db_entry> *entries)
{
	string_list_ptr root(cJSON_Parse(text.c_str()));
	cJSON *item, *a;

	entries->clear();
	if (!cJSON_IsArray(root.get()))
		return false;
	cJSON_ArrayForEach(item, root.get()) {
		cJSON *dir = cJSON_GetObjectItemCaseSensitive(item, "directory");
		cJSON *file = cJSON_GetObjectItemCaseSensitive(item, "file");
		cJSON *args = cJSON_GetObjectItemCaseSensitive(item,
		    "arguments");
		db_entry e;

		cJSON *output = cJSON_GetObjectItemCaseSensitive(item,
		    "output");

		if (cJSON_GetArraySize(item) != 3 + (output != nullptr) ||
		    !cJSON_IsString(dir) || !cJSON_IsString(file) ||
		    !cJSON_IsArray(args) ||
		    (output != nullptr && !cJSON_IsString(output)))
			return false;
		e.directory = dir->valuestring;
		e.file = file->valuestring;
		if (output != nullptr)
			e.output = output->valuestring;
		cJSON_ArrayForEach(a, args) {
			if (!cJSON_IsString(a))
				return false;
			e.arguments.push_back(a->valuestring);
		}
		entries->push_back(e);
	}
	return true;
}

// Everything written to a stream so far.
inline std::string
stream_contents(FILE *f)
{
	std::string s;
	char buf[65536];
	size_t n;

	fflush(f);
	rewind(f);
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		s.append(buf, n);
	return s;
}

// A fresh directory holding an empty x.c, for commands that compile it; ""
// if it cannot be made.
inline std::string
make_source_dir(const char *name)
{
	std::string tmpl = std::string("/tmp/") + name + ".XXXXXX";
	if (mkdtemp(tmpl.data()) == nullptr)
		return "";
	FILE *f = fopen((tmpl + "/x.c").c_str(), "w");
	if (f == nullptr)
		return "";
	fclose(f);
	return tmpl;
}

inline void
remove_source_dir(const std::string &dir)
{
	unlink((dir + "/x.c").c_str());
	rmdir(dir.c_str());
}

#endif
