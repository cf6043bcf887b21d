// What --all takes for a compile: compiler and wrapper names, sources by
// suffix and -x, the values of options, runs that compile nothing, and the
// entries of a command, from files made in a scratch directory ("@").
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "compdb/compdb.h"
#include "tracer/platform.h"
#include "test-util.h"

namespace {

TEST(AllNames, CompilersWrappersAndOthers)
{
	const struct {
		const char *name;
		program_kind kind;
	} cases[] = {
		// The six base names, with a directory, a target prefix, a
		// version suffix, or FreeBSD's ports style.
		{ "cc", PROGRAM_COMPILER },
		{ "c++", PROGRAM_COMPILER },
		{ "gcc", PROGRAM_COMPILER },
		{ "g++", PROGRAM_COMPILER },
		{ "clang", PROGRAM_COMPILER },
		{ "clang++", PROGRAM_COMPILER },
		{ "/usr/bin/c++", PROGRAM_COMPILER },
		{ "/usr/lib/ccache/gcc", PROGRAM_COMPILER },
		{ "x86_64-linux-gnu-gcc", PROGRAM_COMPILER },
		{ "arm-none-eabi-g++", PROGRAM_COMPILER },
		{ "aarch64-unknown-freebsd13-clang++", PROGRAM_COMPILER },
		{ "gcc-12", PROGRAM_COMPILER },
		{ "clang++-14", PROGRAM_COMPILER },
		{ "clang-14.0.6", PROGRAM_COMPILER },
		{ "x86_64-linux-gnu-g++-12", PROGRAM_COMPILER },
		{ "gcc12", PROGRAM_COMPILER },
		{ "g++12", PROGRAM_COMPILER },
		{ "clang15", PROGRAM_COMPILER },
		{ "clang++15", PROGRAM_COMPILER },
		{ "x86_64-portbld-freebsd13.2-gcc12", PROGRAM_COMPILER },
		{ "c99-gcc", PROGRAM_COMPILER },
		// --compiler names take the same prefixes and suffixes.
		{ "tcc", PROGRAM_COMPILER },
		{ "/opt/bin/x86_64-linux-gnu-tcc-0.9", PROGRAM_COMPILER },
		{ "icx", PROGRAM_COMPILER },
		{ "ccache", PROGRAM_WRAPPER },
		{ "/usr/bin/sccache", PROGRAM_WRAPPER },
		{ "distcc", PROGRAM_WRAPPER },
		{ "icecc", PROGRAM_WRAPPER },
		// Preprocessors, GCC's own helpers, tools named alike.
		{ "cpp", PROGRAM_OTHER },
		{ "clang-cpp", PROGRAM_OTHER },
		{ "clang-cpp-14", PROGRAM_OTHER },
		{ "cc1", PROGRAM_OTHER },
		{ "cc1plus", PROGRAM_OTHER },
		{ "c++1", PROGRAM_OTHER },
		{ "collect2", PROGRAM_OTHER },
		{ "gcc-ar", PROGRAM_OTHER },
		{ "gcc-ar-12", PROGRAM_OTHER },
		{ "clang-tidy", PROGRAM_OTHER },
		{ "clang-format-14", PROGRAM_OTHER },
		{ "clang-cl", PROGRAM_OTHER },
		{ "c++filt", PROGRAM_OTHER },
		{ "mycc", PROGRAM_OTHER },
		{ "xgcc", PROGRAM_OTHER },
		{ "gcc-", PROGRAM_OTHER },
		{ "gcc-beta", PROGRAM_OTHER },
		{ "gcc.exe", PROGRAM_OTHER },
		{ "ccache-swig", PROGRAM_OTHER },
		{ "/usr/bin/", PROGRAM_OTHER },
		{ "", PROGRAM_OTHER },
		{ "ld", PROGRAM_OTHER },
	};

	options.compilers = { "tcc", "icx" };
	for (const auto &c : cases)
		EXPECT_EQ(program_kind_of(c.name), c.kind) << c.name;
	options.compilers.clear();
	EXPECT_EQ(program_kind_of("tcc"), PROGRAM_OTHER);
	EXPECT_EQ(program_kind_of(nullptr), PROGRAM_OTHER);
}

TEST(AllNames, WrapperCountsOnlyBeforeACompiler)
{
	const struct {
		const char *argv0, *argv1;
		int index;
	} cases[] = {
		{ "gcc", "-c", 0 },
		{ "gcc", nullptr, 0 },
		{ "ccache", "gcc", 1 },
		{ "distcc", "/usr/bin/clang++-14", 1 },
		{ "ccache", "-s", -1 },
		{ "ccache", nullptr, -1 },
		{ "ccache", "distcc", -1 },
		{ "sccache", "ld", -1 },
		{ "true", "gcc", -1 },
	};

	for (const auto &c : cases)
		EXPECT_EQ(compiler_index(c.argv0, c.argv1), c.index)
		    << c.argv0 << " " << (c.argv1 ? c.argv1 : "(end)");
}

struct args_case {
	std::vector<std::string> args;	// from the compiler on
	std::vector<std::string> sources;
	std::string output = "";	// "" for none
	bool compiles = true;
};

void
check_args(const args_case &c)
{
	std::vector<const char *> args;
	std::vector<std::string> sources;
	compile_args parts;

	for (const std::string &a : c.args)
		args.push_back(a.c_str());
	read_compile_args(args.data(), (int)args.size(), &parts);
	for (int i : parts.sources)
		sources.push_back(c.args[i]);
	EXPECT_EQ(sources, c.sources);
	EXPECT_EQ(parts.output != nullptr ? parts.output : "", c.output);
	EXPECT_EQ(parts.compiles, c.compiles);
}

TEST(AllArgs, SourcesBySuffix)
{
	const std::vector<std::string> yes = { "x.c", "x.cc", "x.cp",
	    "x.cpp", "x.cxx", "x.c++", "x.C", "x.m", "x.mm", "x.s", "x.S",
	    "x.sx", "dir.d/x.c", "/abs/x.cpp" };
	const std::vector<std::string> no = { "x.h", "x.hpp", "x.o", "x.i",
	    "x.ii", "x.CPP", "x.cu", "x.f90", "x.a", "x.so", "c", "x.c.o",
	    "xc", "@x.c", "-", "" };

	for (const std::string &s : yes) {
		SCOPED_TRACE(s);
		check_args({ { "cc", "-c", s }, { s } });
	}
	for (const std::string &s : no) {
		SCOPED_TRACE(s);
		check_args({ { "cc", "-c", s }, {} });
	}
	// Every source, in order, whatever stands between them.
	check_args({ { "cc", "b.c", "-O2", "x.o", "a.cpp", "-lm", "s.S" },
	    { "b.c", "a.cpp", "s.S" } });
}

TEST(AllArgs, SourcesByLanguage)
{
	const args_case cases[] = {
		{ { "cc", "-x", "c", "prog" }, { "prog" } },
		{ { "cc", "-xc++", "t.h", "u.inl" }, { "t.h", "u.inl" } },
		{ { "cc", "--language", "objective-c", "m" }, { "m" } },
		{ { "cc", "--language=c", "m" }, { "m" } },
		{ { "cc", "-x", "assembler-with-cpp", "start.asm" },
		    { "start.asm" } },
		{ { "cc", "-x", "c++-header", "pch.hxx" }, { "pch.hxx" } },
		{ { "cc", "-x", "cpp-output", "a.i" }, { "a.i" } },
		// The language ends at -x none, or changes at the next -x.
		{ { "cc", "-x", "c", "a", "-x", "none", "b", "c.c" },
		    { "a", "c.c" } },
		{ { "cc", "-x", "c", "a", "-xnone", "b.o" }, { "a" } },
		// Other languages take even a C suffix.
		{ { "cc", "-x", "f95", "a.c" }, {} },
		{ { "cc", "-x", "cuda", "k.cu", "-x", "c", "k.c" }, { "k.c" } },
		// Standard input and response files are no files.
		{ { "cc", "-x", "c", "-", "@opts" }, {} },
		{ { "cc", "a.c", "-x" }, { "a.c" } },
	};

	for (size_t i = 0; i < std::size(cases); i++) {
		SCOPED_TRACE(i);
		check_args(cases[i]);
	}
}

// The value of an option that takes one is no source, however it is named.
TEST(AllArgs, OptionValuesAreNoSources)
{
	const std::vector<std::vector<std::string>> options = {
		{ "-o" }, { "--output" }, { "-MF" }, { "-MT" }, { "-MQ" },
		{ "-MJ" }, { "-include" }, { "-imacros" }, { "-include-pch" },
		{ "-I" }, { "-isystem" }, { "-iquote" }, { "-idirafter" },
		{ "-isysroot" }, { "--sysroot" }, { "-D" }, { "-U" }, { "-A" },
		{ "-L" }, { "-l" }, { "-u" }, { "-e" }, { "-z" }, { "-T" },
		{ "-B" }, { "-F" }, { "-aux-info" }, { "-dumpbase" },
		{ "-dumpdir" }, { "-wrapper" }, { "-specs" }, { "--param" },
		{ "-Xlinker" }, { "-Xassembler" }, { "-Xpreprocessor" },
		{ "-Xclang" }, { "-Xarch_arm64" }, { "-Xopenmp-target=x86_64" },
		{ "-mllvm" }, { "-target" }, { "-arch" }, { "-ivfsoverlay" },
		{ "-serialize-diagnostics" }, { "--include" },
		{ "--include-directory" }, { "--define-macro" }, { "--for-linker" },
		// Options with more than one value.
		{ "-segaddr", "seg" }, { "-sectcreate", "seg", "sect" },
	};

	for (const auto &o : options) {
		SCOPED_TRACE(o[0]);
		args_case c = { { "cc" }, { "a.c" } };
		c.args.insert(c.args.end(), o.begin(), o.end());
		c.args.insert(c.args.end(), { "v.c", "a.c" });
		if (o[0] == "-o" || o[0] == "--output")
			c.output = "v.c";
		check_args(c);
	}
	// A value that looks like an option is a value all the same.
	check_args({ { "cc", "-Xlinker", "-o", "-Xlinker", "x.c", "a.c" },
	    { "a.c" } });
	check_args({ { "cc", "-Xclang", "-x", "-Xclang", "c", "a.c", "m" },
	    { "a.c" } });
	// Joined values.
	check_args({ { "cc", "-Iinc.c", "-DX=y.c", "-MFd.c", "a.c" },
	    { "a.c" } });
}

TEST(AllArgs, OutputAndRunsThatCompileNothing)
{
	const args_case cases[] = {
		{ { "cc", "-c", "a.c", "-o", "a.o" }, { "a.c" }, "a.o" },
		{ { "cc", "-c", "a.c", "-oa.o" }, { "a.c" }, "a.o" },
		{ { "cc", "-c", "a.c", "--output=obj/a.o" }, { "a.c" },
		    "obj/a.o" },
		{ { "cc", "-o", "x", "a.c", "-o", "y" }, { "a.c" }, "y" },
		{ { "cc", "-c", "a.c", "-o" }, { "a.c" } },
		{ { "clang", "-objcmt-migrate-literals", "-c", "a.m" },
		    { "a.m" } },
		// Preprocessing and dependency listing compile nothing;
		// -MD and -MMD do as they compile.
		{ { "cc", "-E", "a.c" }, { "a.c" }, "", false },
		{ { "cc", "--preprocess", "a.c" }, { "a.c" }, "", false },
		{ { "cc", "-M", "a.c" }, { "a.c" }, "", false },
		{ { "cc", "-MM", "a.c" }, { "a.c" }, "", false },
		{ { "cc", "-M", "-MD", "-c", "a.c" }, { "a.c" }, "", false },
		{ { "cc", "--user-dependencies", "a.c" }, { "a.c" }, "", false },
		{ { "cc", "-###", "-c", "a.c" }, { "a.c" }, "", false },
		{ { "cc", "-MD", "-c", "a.c" }, { "a.c" } },
		{ { "cc", "-MMD", "-MF", "a.d", "-c", "a.c" }, { "a.c" } },
		{ { "cc", "-Wp,-MD,a.d", "-c", "a.c" }, { "a.c" } },
	};

	for (size_t i = 0; i < std::size(cases); i++) {
		SCOPED_TRACE(i);
		check_args(cases[i]);
	}
}

// The entries of a whole command: its files as the compiler sees them.
class AllCommand : public testing::Test {
protected:
	static std::string scratch;

	static void
	SetUpTestSuite()
	{
		scratch = make_source_dir("recognize_all_test");
		ASSERT_NE(scratch, "");
		for (const char *f : { "a.c", "b.cpp", "s.S", "prog" })
			fclose(fopen((scratch + "/" + f).c_str(), "w"));
		ASSERT_EQ(mkdir((scratch + "/dir.c").c_str(), 0755), 0);
	}

	static void
	TearDownTestSuite()
	{
		std::string cmd = "rm -rf '" + scratch + "'";
		EXPECT_EQ(system(cmd.c_str()), 0);
	}
};

std::string AllCommand::scratch;

TEST_F(AllCommand, OneFilePerExistingSource)
{
	const struct {
		std::vector<std::string> argv;
		int first;
		std::vector<std::string> files;	// relative to scratch
		const char *output;
	} cases[] = {
		{ { "cc", "-c", "a.c", "b.cpp", "s.S" }, 0,
		    { "a.c", "b.cpp", "s.S" }, nullptr },
		{ { "cc", "-c", "a.c", "-o", "a.o" }, 0, { "a.c" }, "a.o" },
		// Only the sources that exist count, also for the output.
		{ { "cc", "-c", "a.c", "gone.c", "dir.c", "-o", "a.o" }, 0,
		    { "a.c" }, "a.o" },
		{ { "cc", "gone.c", "-o", "a.o" }, 0, {}, nullptr },
		{ { "ccache", "g++", "-c", "b.cpp", "-o", "b.o" }, 1,
		    { "b.cpp" }, "b.o" },
		{ { "cc", "-x", "c", "prog", "-x", "none", "a.c" }, 0,
		    { "prog", "a.c" }, nullptr },
		{ { "cc", "-E", "a.c" }, 0, {}, nullptr },
		{ { "cc", "a.o", "-o", "prog" }, 0, {}, nullptr },
		{ { "ccache" }, 1, {}, nullptr },
	};

	for (size_t i = 0; i < std::size(cases); i++) {
		SCOPED_TRACE(i);
		const auto &c = cases[i];
		string_list_ptr argv = make_list(c.argv);
		string_list_ptr envp = make_list({ "PWD=" + scratch });
		char *directory = nullptr, *output = nullptr;
		string_list *files = nullptr;

		bool found = recognize_all_command(argv.get(), c.first,
		    envp.get(), nullptr, &directory, &files, &output);
		malloc_ptr<char> dir_owner(directory), output_owner(output);
		string_list_ptr files_owner(files);
		ASSERT_EQ(found, !c.files.empty());
		if (!found)
			continue;
		EXPECT_EQ(directory, scratch);
		std::vector<std::string> got, want;
		cJSON *item;
		cJSON_ArrayForEach(item, files)
			got.push_back(cJSON_GetStringValue(item));
		for (const std::string &f : c.files)
			want.push_back(scratch + "/" + f);
		EXPECT_EQ(got, want);
		EXPECT_STREQ(output, c.output);
	}
}

}  // namespace
