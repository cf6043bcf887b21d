// Compile command recognition against files made in a scratch directory;
// "@" in a case stands for that directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compdb/compdb.h"
#include "tracer/platform.h"
#include "tracer/tracer.h"
#include "test-util.h"

namespace {

std::string scratch;

std::string
expand(std::string s)
{
	for (size_t at; (at = s.find('@')) != std::string::npos;)
		s.replace(at, 1, scratch);
	return s;
}

std::vector<std::string>
expand(const std::vector<std::string> &v)
{
	std::vector<std::string> out;
	for (const std::string &s : v)
		out.push_back(expand(s));
	return out;
}

class RecognizeTest : public testing::Test {
protected:
	static void
	SetUpTestSuite()
	{
		char tmpl[] = "/tmp/recognize_test.XXXXXX";

		ASSERT_NE(mkdtemp(tmpl), nullptr);
		scratch = tmpl;
		for (const char *name : {"x.c", "x.cpp", "x.S", "x.cc", "x.cxx",
		    "x.C", "x.s", "a.c", "b.c", "a.c\nb"}) {
			int fd = open((scratch + "/" + name).c_str(),
			    O_WRONLY | O_CREAT | O_EXCL, 0644);
			ASSERT_GE(fd, 0) << name;
			close(fd);
		}
		ASSERT_EQ(mkdir((scratch + "/dir.c").c_str(), 0755), 0);
		ASSERT_EQ(symlink("x.c", (scratch + "/link.c").c_str()), 0);
		ASSERT_EQ(symlink("gone.c", (scratch + "/dangling.c").c_str()),
		    0);
		// A subdirectory, a link to it, and a tree that a compiler
		// in a chroot at @/root sees as /build.
		for (const char *d : {"/sub", "/root", "/root/build"})
			ASSERT_EQ(mkdir((scratch + d).c_str(), 0755), 0);
		ASSERT_EQ(symlink("sub", (scratch + "/sublink").c_str()), 0);
		for (const char *f : {"/sub/y.c", "/root/build/z.c"})
			fclose(fopen((scratch + f).c_str(), "w"));
		compile_patterns();
	}

	static void
	TearDownTestSuite()
	{
		std::string cmd = "rm -rf '" + scratch + "'";
		EXPECT_EQ(system(cmd.c_str()), 0);
	}
};

struct recognize_case {
	std::vector<std::string> argv;
	std::vector<std::string> envp;
	// Both null when nothing is to be recognised.
	const char *directory;
	const char *file;
};

// The working directory as a kernel reports it: the directory at path (as
// the tool sees it), named name, its files found under the two prefixes.
struct cwd_case {
	const char *path;
	const char *name;
	const char *rel_prefix;
	const char *abs_prefix;
};

void
check(const recognize_case &c, const cwd_case *where = nullptr)
{
	std::vector<std::string> envp = expand(c.envp);
	string_list_ptr argv_list = make_list(expand(c.argv));
	string_list_ptr envp_list = make_list(envp);
	char *directory = NULL, *file = NULL;
	proc_cwd_info cwd{};
	struct stat sb;

	if (where != nullptr) {
		ASSERT_EQ(stat(expand(where->path).c_str(), &sb), 0);
		cwd.dev = sb.st_dev;
		cwd.ino = sb.st_ino;
		snprintf(cwd.path, sizeof(cwd.path), "%s",
		    expand(where->name).c_str());
		snprintf(cwd.rel_prefix, sizeof(cwd.rel_prefix), "%s",
		    expand(where->rel_prefix).c_str());
		snprintf(cwd.abs_prefix, sizeof(cwd.abs_prefix), "%s",
		    expand(where->abs_prefix).c_str());
	}
	bool found = recognize_compile_command(argv_list.get(),
	    envp_list.get(), where != nullptr ? &cwd : nullptr, &directory,
	    &file);
	malloc_ptr<char> dir_owner(directory), file_owner(file);
	if (c.file == nullptr) {
		EXPECT_FALSE(found);
	} else {
		ASSERT_TRUE(found);
		EXPECT_EQ(directory, expand(c.directory));
		EXPECT_EQ(file, expand(c.file));
	}
	// The caller's lists are left as they were.
	for (size_t i = 0; i < envp.size(); i++)
		EXPECT_EQ(cJSON_GetStringValue(
		    cJSON_GetArrayItem(envp_list.get(), i)), envp[i]);
}

TEST_F(RecognizeTest, CompilerNames)
{
	const std::vector<std::string> yes = {"cc", "/usr/bin/cc", "gcc",
	    "clang-cpp", "cpp", "distcc", "x86_64-linux-gnu-gcc", "cc\nld"};
	const std::vector<std::string> no = {"clang", "c++", "g++",
	    "clang++", "ld", "as", "cc.exe", ""};

	for (const std::string &name : yes) {
		SCOPED_TRACE(name);
		check({{name, "-c", "x.c"}, {"PWD=@"}, "@", "@/x.c"});
	}
	for (const std::string &name : no) {
		SCOPED_TRACE(name);
		check({{name, "-c", "x.c"}, {"PWD=@"}, nullptr, nullptr});
	}
}

TEST_F(RecognizeTest, SourceNames)
{
	for (const char *src : {"x.c", "x.cpp", "x.S", "a.c\nb"}) {
		SCOPED_TRACE(src);
		std::string file = std::string("@/") + src;
		check({{"cc", "-c", src}, {"PWD=@"}, "@", file.c_str()});
	}
	for (const char *src : {"x.cc", "x.cxx", "x.C", "x.s"}) {
		SCOPED_TRACE(src);
		check({{"cc", "-c", src}, {"PWD=@"}, nullptr, nullptr});
	}
}

TEST_F(RecognizeTest, SourceSearch)
{
	const recognize_case cases[] = {
		// The last existing regular source wins.
		{{"cc", "-c", "a.c", "b.c"}, {"PWD=@"}, "@", "@/b.c"},
		{{"cc", "-c", "a.c", "gone.c"}, {"PWD=@"}, "@", "@/a.c"},
		{{"cc", "-c", "x.c", "-o", "prog.c"}, {"PWD=@"}, "@", "@/x.c"},
		// Directories and dangling links are passed over, links to
		// files are taken.
		{{"cc", "x.c", "dir.c"}, {"PWD=@"}, "@", "@/x.c"},
		{{"cc", "x.c", "dangling.c"}, {"PWD=@"}, "@", "@/x.c"},
		{{"cc", "link.c"}, {"PWD=@"}, "@", "@/link.c"},
		// An empty argument above the source ends the search.
		{{"cc", "-c", "x.c", ""}, {"PWD=@"}, nullptr, nullptr},
		{{"cc", "-c", "x.c", "", "-O2"}, {"PWD=@"}, nullptr, nullptr},
		{{"cc", "", "-c", "x.c"}, {"PWD=@"}, "@", "@/x.c"},
		// Relative sources are joined to PWD unnormalised, absolute
		// ones kept.
		{{"cc", "./x.c"}, {"PWD=@"}, "@", "@/./x.c"},
		{{"cc", "@/x.c"}, {"PWD=/nonexistent"}, "/nonexistent", "@/x.c"},
		{{"cc", "x.c"}, {"PWD=/nonexistent"}, nullptr, nullptr},
		// Item 0 is the program, never a source.
		{{"@/x.cpp"}, {"PWD=@"}, nullptr, nullptr},
		{{"cc"}, {"PWD=@"}, nullptr, nullptr},
		{{}, {"PWD=@"}, nullptr, nullptr},
	};
	for (size_t i = 0; i < std::size(cases); i++) {
		SCOPED_TRACE(i);
		check(cases[i]);
	}
}

TEST_F(RecognizeTest, DirectoryFromPwd)
{
	const std::vector<std::string> argv = {"cc", "-c", "@/x.c"};
	const recognize_case cases[] = {
		{argv, {"HOME=/h", "OLDPWD=/o"}, nullptr, nullptr},
		{argv, {}, nullptr, nullptr},
		{argv, {"PWD=/first", "PWD=/second"}, "/first", "@/x.c"},
		// The key ends at the first "="; the value keeps the rest.
		{argv, {"PWD=/a=b"}, "/a=b", "@/x.c"},
		{argv, {"PWD==/x"}, "=/x", "@/x.c"},
		{argv, {"=PWD=/x"}, nullptr, nullptr},
		{argv, {"=PWD=/x", "PWD=/y"}, "/y", "@/x.c"},
		// Items without "=" or value are passed over.
		{argv, {"", "=", "PWD", "PWD=", "PWD=/z"}, "/z", "@/x.c"},
		{argv, {"PWD="}, nullptr, nullptr},
		{argv, {"PWDX=/a", "XPWD=/a", "pwd=/a", "PWD =/a"}, nullptr,
		    nullptr},
	};
	for (size_t i = 0; i < std::size(cases); i++) {
		SCOPED_TRACE(i);
		check(cases[i]);
	}
}

// The kernel's working directory against PWD: PWD is kept only where it
// names that directory.
TEST_F(RecognizeTest, DirectoryTheCompilerRunsIn)
{
	const cwd_case sub = {"@/sub", "@/sub", "", ""};
	const cwd_case unnamed = {"@/sub", "", "", ""};
	const cwd_case chroot = {"@/root/build", "/build", "@/root/build/",
	    "@/root"};
	const struct {
		recognize_case c;
		const cwd_case *cwd;
	} cases[] = {
		// make -C sub: PWD still names the top directory, whose a.c
		// is not the file compiled.
		{{{"cc", "-c", "y.c"}, {"PWD=@"}, "@/sub", "@/sub/y.c"}, &sub},
		{{{"cc", "-c", "a.c"}, {"PWD=@"}, nullptr, nullptr}, &sub},
		// PWD through a link to the directory is the path users see.
		{{{"cc", "-c", "y.c"}, {"PWD=@/sublink"}, "@/sublink",
		    "@/sublink/y.c"}, &sub},
		{{{"cc", "-c", "y.c"}, {"PWD=@/sub/"}, "@/sub/", "@/sub//y.c"},
		    &sub},
		// No PWD, an empty or a relative one: the kernel's path.
		{{{"cc", "-c", "y.c"}, {"HOME=/"}, "@/sub", "@/sub/y.c"}, &sub},
		{{{"cc", "-c", "y.c"}, {"PWD="}, "@/sub", "@/sub/y.c"}, &sub},
		{{{"cc", "-c", "y.c"}, {"PWD=sub"}, "@/sub", "@/sub/y.c"}, &sub},
		{{{"cc", "-c", "y.c"}, {"PWD=/nonexistent"}, "@/sub",
		    "@/sub/y.c"}, &sub},
		// A directory the kernel has no path for: only a PWD that
		// names it gives the entry a directory.
		{{{"cc", "-c", "y.c"}, {"PWD=@"}, nullptr, nullptr}, &unnamed},
		{{{"cc", "-c", "y.c"}, {"PWD=@/sub"}, "@/sub", "@/sub/y.c"},
		    &unnamed},
		// A compiler in a chroot: its own paths, looked up in its view.
		{{{"cc", "-c", "z.c"}, {"PWD=/build"}, "/build", "/build/z.c"},
		    &chroot},
		{{{"cc", "-c", "z.c"}, {"PWD=@/root/build"}, "/build",
		    "/build/z.c"}, &chroot},
		{{{"cc", "-c", "/build/z.c"}, {}, "/build", "/build/z.c"},
		    &chroot},
		{{{"cc", "-c", "@/x.c"}, {"PWD=/build"}, nullptr, nullptr},
		    &chroot},
		{{{"cc", "-c", "x.c"}, {"PWD=/build"}, nullptr, nullptr},
		    &chroot},
	};
	for (size_t i = 0; i < std::size(cases); i++) {
		SCOPED_TRACE(i);
		check(cases[i].c, cases[i].cwd);
	}
}

TEST_F(RecognizeTest, RecordWritesTheWholeCommand)
{
	tracer_info info = {};
	string_list_ptr env = make_list({"PWD=" + scratch});
	std::vector<db_entry> db;

	entry_count = 0;
	info.out = tmpfile();
	ASSERT_NE(info.out, nullptr);
	record_compile_command(&info, make_list({"ld", "x.c"}).get(),
	    env.get(), nullptr);
	record_compile_command(&info,
	    make_list({"cc", "-c", "x.c", "-o", "x.o"}).get(), env.get(),
	    nullptr);
	std::string text = stream_contents(info.out);
	fclose(info.out);
	ASSERT_TRUE(parse_db("[" + text + "]", &db)) << text;
	EXPECT_EQ(db, (std::vector<db_entry>{ { scratch, scratch + "/x.c",
	    { "cc", "-c", "x.c", "-o", "x.o" } } }));
	EXPECT_EQ(entry_count, 1u);
}

} // namespace
