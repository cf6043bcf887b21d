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
