// The database file: exact bytes, escapes, and a valid JSON array whatever
// the strings hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>
#include <sys/stat.h>
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

// --- The file's life: -a and --all ------------------------------------

struct entry_in {
	std::string directory, file;
	std::vector<std::string> arguments;
	std::string output = "";	// none where empty
	bool own_view = true;
};

// One run's life of the file at path, with the options the test set:
// prepared, opened, the entries written, meanwhile() called before the
// array closes, finished.  db_finish's result; the options are reset.
int
run_file(const std::string &path, const std::vector<entry_in> &entries,
    const std::function<void()> &meanwhile = {})
{
	tracer_info info = {};

	entry_count = 0;
	options.output = path.c_str();
	db_prepare(&info);
	db_open_array(&info);
	for (const entry_in &e : entries)
		db_append_entry(&info, e.directory.c_str(), e.file.c_str(),
		    make_list(e.arguments).get(),
		    e.output.empty() ? nullptr : e.output.c_str(), e.own_view);
	if (meanwhile)
		meanwhile();
	db_close_array(&info);
	int r = db_finish(&info);
	options = run_options();
	return r;
}

std::string
slurp(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream ss;

	ss << in.rdbuf();
	return ss.str();
}

void
spew(const std::string &path, const std::string &text)
{
	std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// What fn writes on standard error.
std::string
stderr_of(const std::function<void()> &fn)
{
	FILE *tmp = tmpfile();
	int saved = dup(2);

	fflush(stderr);
	dup2(fileno(tmp), 2);
	fn();
	fflush(stderr);
	dup2(saved, 2);
	close(saved);
	std::string text = stream_contents(tmp);
	fclose(tmp);
	return text;
}

struct DbFile : testing::Test {
	std::string dir, path;

	void SetUp() override
	{
		char tmpl[] = "/tmp/db_test.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		path = dir + "/db.json";
	}
	void TearDown() override
	{
		std::string rm = "rm -rf '" + dir + "'";
		EXPECT_EQ(system(rm.c_str()), 0);
	}
};

db_entry
as_read(const entry_in &e)
{
	return { e.directory, e.file, e.arguments, e.output };
}

// A killed run leaves any cut of its file: every cut is read up to its last
// complete entry, and said to be unfinished unless it is empty or whole.
TEST_F(DbFile, AppendReadsEveryCutOfAKilledRunsFile)
{
	const std::vector<entry_in> two = {
		{ "/w", "/w/a \"q\".c", { "cc", "-c", "a \"q\".c" }, "a.o" },
		{ "/w\\x", "b.c", { "cc", "-DX=\"\t\\u\"", "-c", "b.c" } },
	};
	ASSERT_EQ(run_file(path, two), 0);
	const std::string full = slurp(path);
	const size_t first_end = full.find("\n}") + 2;
	const size_t second_end = full.rfind("\n}") + 2;

	for (size_t n = 0; n <= full.size(); n++) {
		SCOPED_TRACE("cut after " + std::to_string(n) + " bytes: " +
		    full.substr(0, n));
		std::vector<db_entry> got, want;
		int r = -1;

		spew(path, full.substr(0, n));
		std::string err = stderr_of([&] {
			options.append = true;
			r = run_file(path, {});
		});
		ASSERT_EQ(r, 0);
		ASSERT_TRUE(parse_db(slurp(path), &got)) << slurp(path);
		if (n >= first_end)
			want.push_back(as_read(two[0]));
		if (n >= second_end)
			want.push_back(as_read(two[1]));
		EXPECT_EQ(got, want);
		EXPECT_EQ(err.find("was left unfinished; its entries are kept "
		    "up to its last complete one") != std::string::npos,
		    n > 0 && n < full.size()) << err;
	}
}

std::string
regex_quote(const std::string &s)
{
	std::string q;

	for (char c : s) {
		if (strchr("\\^$.|?*+()[]{}", c) != nullptr)
			q += '\\';
		q += c;
	}
	return q;
}

// A file that is not a database ends the tool before the build, untouched.
TEST_F(DbFile, AppendRefusesWhatIsNoDatabase)
{
	const std::string ok = "{\"directory\": \"/w\", \"file\": \"a.c\", "
	    "\"arguments\": [\"cc\", \"a.c\"]}";
	const struct {
		std::string text;
		const char *why;
	} cases[] = {
		{ "int main;", "it is not a JSON array" },
		{ "{" + ok.substr(1), "it is not a JSON array" },
		{ "[\"cc a.c\"]", "entry 1 on line 1 is not an object" },
		{ "[" + ok + ",\n{\"directory\": \"/w\", \"file\": \"a.c\", "
		    "\"command\": \"cc a.c\"}]",
		    "entry 2 on line 2 has no \"arguments\" array of strings" },
		{ "[{\"directory\": \"/w\", \"file\": \"a.c\", \"arguments\": "
		    "[\"cc\", 1]}]",
		    "entry 1 on line 1 has no \"arguments\" array of strings" },
		{ "[{\"directory\": 1, \"file\": \"a.c\", \"arguments\": []}]",
		    "entry 1 on line 1 has no string \"directory\"" },
		{ "[{\"directory\": \"/w\", \"arguments\": []}]",
		    "entry 1 on line 1 has no string \"file\"" },
		{ "[" + ok.substr(0, ok.size() - 1) + ", \"output\": null}]",
		    "entry 1 on line 1 has an \"output\" that is not a string" },
		{ "[" + ok.substr(0, ok.size() - 1) + ", \"file\": \"b.c\"}]",
		    "entry 1 on line 1 has \"file\" twice" },
		{ "[" + ok.substr(0, ok.size() - 1) + ", \"x\": 1}]",
		    "entry 1 on line 1 has a key \"x\" of its own" },
		{ "[\n" + ok + "\n" + ok + "]",
		    "a ',' or ']' is missing on line 3" },
		{ "[" + ok + ",\n]", "invalid JSON on line 2" },
		{ "[\n{\"directory\": x}\n]", "invalid JSON on line 2" },
		{ "[{\"directory\": \"\\q\", \"file\": \"a.c\"}]",
		    "invalid JSON on line 1" },
		{ "[" + ok + "]\n]", "there is more after its closing ] on "
		    "line 2" },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		spew(path, c.text);
		EXPECT_EXIT({
			options.append = true;
			run_file(path, {});
		}, testing::ExitedWithCode(1), "^[^\n]*: " + regex_quote(path +
		    " is not a compilation database: " + c.why) + "\n$");
		EXPECT_EQ(slurp(path), c.text);
	}
}

// Old entries come first, in the tool's layout, and stay in the file while
// the build runs; at the end those this run recorded again are gone.
TEST_F(DbFile, AppendKeepsOldEntriesUnlessRecordedAgain)
{
	spew(path, "[{\"directory\":\"/w\",\"file\":\"a.c\",\"arguments\":"
	    "[\"cc\",\"-c\",\"a.c\"]},\n"
	    " {\"output\":\"b.o\",\"file\":\"b.c\",\"directory\":\"/w\","
	    "\"arguments\":[\"cc\",\"-c\",\"b.c\"]},\n"
	    " {\"directory\":\"/v\",\"file\":\"b.c\",\"arguments\":[\"cc\"]}]");
	const std::vector<db_entry> old = {
		{ "/w", "a.c", { "cc", "-c", "a.c" } },
		{ "/w", "b.c", { "cc", "-c", "b.c" }, "b.o" },
		{ "/v", "b.c", { "cc" } },
	};
	const std::vector<entry_in> now = {
		{ "/w", "b.c", { "cc", "-O2", "-c", "b.c" } },
		{ "/w", "c.c", { "cc", "-c", "c.c" } },
	};
	std::vector<db_entry> during, after;

	options.append = true;
	ASSERT_EQ(run_file(path, now, [&] {
		ASSERT_TRUE(parse_db(slurp(path) + "\n]", &during));
	}), 0);
	EXPECT_EQ(during, (std::vector<db_entry>{ old[0], old[1], old[2],
	    as_read(now[0]), as_read(now[1]) }));
	ASSERT_TRUE(parse_db(slurp(path), &after));
	EXPECT_EQ(after, (std::vector<db_entry>{ old[0], old[2],
	    as_read(now[0]), as_read(now[1]) }));
}

// --all: the final file has no entry whose source has gone (where the tool
// can look), and one of identical entries, the last at its place.  It is
// written again only when that changes something, keeping its mode.
TEST_F(DbFile, AllLeavesNoGoneSourceAndNoTwinEntry)
{
	for (const char *f : { "x.c", "y.c", "probe.c" })
		spew(dir + "/" + f, "");
	const entry_in x = { dir, "x.c", { "cc", "-c", "x.c" } };
	const entry_in x2 = { dir, dir + "/x.c", { "cc", "-c", "x.c" } };
	const entry_in y = { dir, "y.c", { "cc", "-c", "y.c" }, "y.o" };
	const entry_in probe = { dir, "probe.c", { "cc", "probe.c" } };
	const entry_in other_root = { "/", "/nonexistent/z.c", { "cc", "z.c" },
	    "", false };
	const entry_in gone = { "/", "/nonexistent/z.c", { "cc", "z.c" } };
	const struct {
		const char *what;
		std::vector<entry_in> in;
		std::vector<entry_in> out;
	} cases[] = {
		{ "changed", { x, probe, y, x, x2, other_root, gone, y },
		    { x, x2, other_root, y } },
		{ "unchanged", { x, y, x2, other_root }, { x, y, x2, other_root } },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		struct stat during = {}, after;
		std::string written;
		std::vector<db_entry> got, want;

		spew(dir + "/probe.c", "");
		unlink(path.c_str());
		spew(path, "");
		ASSERT_EQ(chmod(path.c_str(), 0640), 0);
		options.all = true;
		ASSERT_EQ(run_file(path, c.in, [&] {
			unlink((dir + "/probe.c").c_str());
			ASSERT_EQ(stat(path.c_str(), &during), 0);
		}), 0);
		ASSERT_EQ(stat(path.c_str(), &after), 0);
		EXPECT_EQ(after.st_ino != during.st_ino,
		    c.in.size() != c.out.size());
		EXPECT_EQ(after.st_mode & 0777, 0640u);
		ASSERT_TRUE(parse_db(slurp(path), &got)) << slurp(path);
		for (const entry_in &e : c.out)
			want.push_back(as_read(e));
		EXPECT_EQ(got, want);
	}
}

} // namespace
