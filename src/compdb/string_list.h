// Ordered lists of strings, held as cJSON arrays of string items, and the
// owning pointers that release them and malloc'd buffers.
#ifndef CCTRACE_COMPDB_STRING_LIST_H
#define CCTRACE_COMPDB_STRING_LIST_H

#include <cjson/cJSON.h>

#include <cstdlib>
#include <memory>

typedef cJSON string_list;

struct cjson_deleter {
	void operator()(cJSON *item) const { cJSON_Delete(item); }
};
typedef std::unique_ptr<cJSON, cjson_deleter> string_list_ptr;

struct free_deleter {
	void operator()(void *p) const { free(p); }
};
template <typename T> using malloc_ptr = std::unique_ptr<T, free_deleter>;

#endif
