// The database file: exact bytes, escapes, and a valid JSON array whatever
// the strings hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include "compdb/compdb.h"
#include "tracer/tracer.h"
#include "test-util.h"

namespace {

struct db_file {
	tracer_info info = {};

	db_file()
	{
		entry_count = 0;
		info.out = tmpfile();
	}
	~db_file() { fclose(info.out); }

	std::string contents() { return stream_contents(info.out); }
};

TEST(DbTest, ExactBytesForZeroOneTwoEntries)
{
	{
		db_file db;
		db_open_array(&db.info);
		db_close_array(&db.info);
		EXPECT_EQ(db.contents(), "[\n\n]");
	}
	const char *first = "{\n\"directory\": \"/w\",\n\"file\": \"/w/a.c\",\n"
	    "\"arguments\": [\"cc\", \"-c\", \"a.c\"]\n}";
	const char *second = "{\n\"directory\": \"/w\",\n\"file\": \"/w/b.c\",\n"
	    "\"arguments\": [\"cc\", \"-O2\", \"-c\", \"b.c\"]\n}";
	for (int n = 1; n <= 2; n++) {
		db_file db;
		db_open_array(&db.info);
		db_append_entry(&db.info, "/w", "/w/a.c",
		    make_list({"cc", "-c", "a.c"}).get());
		// Each entry is flushed on its own, before the array closes.
		EXPECT_EQ(db.contents(), std::string("[\n") + first);
		if (n == 2)
			db_append_entry(&db.info, "/w", "/w/b.c",
			    make_list({"cc", "-O2", "-c", "b.c"}).get());
		db_close_array(&db.info);
		EXPECT_EQ(db.contents(), n == 1 ?
		    std::string("[\n") + first + "\n]" :
		    std::string("[\n") + first + ",\n" + second + "\n]");
	}
}

// What the kernel holds, without flushing the stream first.
std::string
on_disk(FILE *f)
{
	char buf[256];
	ssize_t n = pread(fileno(f), buf, sizeof(buf), 0);

	return std::string(buf, n > 0 ? (size_t)n : 0);
}

TEST(DbTest, OpeningAndEachEntryReachTheFileAtOnce)
{
	db_file db;

	db_open_array(&db.info);
	EXPECT_EQ(on_disk(db.info.out), "[\n");
	db_append_entry(&db.info, "/w", "/w/a.c", make_list({"cc"}).get());
	EXPECT_EQ(on_disk(db.info.out), "[\n{\n\"directory\": \"/w\",\n"
	    "\"file\": \"/w/a.c\",\n\"arguments\": [\"cc\"]\n}");
}

TEST(DbTest, DirectoryFileAndArgumentsShareTheEscapes)
{
	struct {
		const char *raw;
		const char *escaped;
	} cases[] = {
		{"a\"b", "a\\\"b"},
		{"a\\b", "a\\\\b"},
		{"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
		{"\x01", "\\u0001"},
		{"x\x1b[0m", "x\\u001b[0m"},
		{"\x1f", "\\u001f"},
		{" ~\x7f", " ~\x7f"},
		{"caf\xc3\xa9.c", "caf\xc3\xa9.c"},
		{"\x80\xfe\xff", "\x80\xfe\xff"},
		{"", ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.escaped);
		db_file db;
		db_append_entry(&db.info, c.raw, c.raw,
		    make_list({"cc", c.raw}).get());
		std::string e = c.escaped;
		EXPECT_EQ(db.contents(), "{\n\"directory\": \"" + e +
		    "\",\n\"file\": \"" + e + "\",\n\"arguments\": [\"cc\", \"" +
		    e + "\"]\n}");
	}
}

// Writes one entry holding s everywhere, closes the array, and checks that
// the file parses back to exactly the strings written.
void
expect_round_trip(const std::string &s)
{
	db_file db;
	string_list_ptr args = make_list({"cc", s, "-c"});

	db_open_array(&db.info);
	db_append_entry(&db.info, "/w", "/w/a.c", args.get());
	db_append_entry(&db.info, s.c_str(), s.c_str(), args.get());
	db_close_array(&db.info);

	string_list_ptr parsed(cJSON_Parse(db.contents().c_str()));
	ASSERT_NE(parsed, nullptr);
	ASSERT_EQ(cJSON_GetArraySize(parsed.get()), 2);
	cJSON *entry = cJSON_GetArrayItem(parsed.get(), 1);
	EXPECT_EQ(cJSON_GetStringValue(
	    cJSON_GetObjectItemCaseSensitive(entry, "directory")), s);
	EXPECT_EQ(cJSON_GetStringValue(
	    cJSON_GetObjectItemCaseSensitive(entry, "file")), s);
	EXPECT_TRUE(cJSON_Compare(
	    cJSON_GetObjectItemCaseSensitive(entry, "arguments"), args.get(),
	    1));
}

TEST(DbTest, AnyBytesKeepTheFileAJsonArray)
{
	std::string all;
	for (int c = 1; c <= 0xff; c++)
		all += (char)c;
	expect_round_trip(all);

	// Our escaper against cJSON's own, byte for byte.
	db_file db;
	db_append_entry(&db.info, all.c_str(), "f", make_list({}).get());
	string_list_ptr item(cJSON_CreateString(all.c_str()));
	malloc_ptr<char> printed(cJSON_PrintUnformatted(item.get()));
	std::string expected = "{\n\"directory\": " + std::string(printed.get());
	EXPECT_EQ(db.contents().substr(0, expected.size()), expected);
}

TEST(DbTest, VeryLongItems)
{
	std::string big(1 << 20, 'a');
	for (size_t i = 0; i < big.size(); i += 4099)
		big[i] = (char)(1 + i % 0xff);
	expect_round_trip(big);
}

void *
failing_malloc(size_t)
{
	return NULL;
}

TEST(DbTest, UnprintableArgumentsStillCloseTheEntry)
{
	db_file db;
	string_list_ptr args = make_list({"cc", "a.c"});
	cJSON_Hooks hooks = {failing_malloc, free};

	db_open_array(&db.info);
	cJSON_InitHooks(&hooks);
	db_append_entry(&db.info, "/w", "/w/a.c", args.get());
	cJSON_InitHooks(NULL);
	db_close_array(&db.info);
	EXPECT_EQ(db.contents(), "[\n{\n\"directory\": \"/w\",\n"
	    "\"file\": \"/w/a.c\",\n\"arguments\": []\n}\n]");
}

} // namespace
