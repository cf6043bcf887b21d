// What --all takes for a compiler and for its sources: decided from the
// strings of an argument vector alone, without the file system.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "compdb/compdb.h"

// GCC- and clang-style drivers, by base name.
static const std::string_view compiler_names[] = {
	"c++", "cc", "clang", "clang++", "g++", "gcc",
};

// Programs that run the compiler named by their first argument.
static const std::string_view wrapper_names[] = {
	"ccache", "distcc", "icecc", "sccache",
};

static const std::string_view source_suffixes[] = {
	".C", ".S", ".c", ".c++", ".cc", ".cp", ".cpp", ".cxx", ".m", ".mm",
	".s", ".sx",
};

// The -x languages of the C, C++, Objective-C and assembly families,
// their headers and their preprocessed forms included.
static const std::string_view source_languages[] = {
	"assembler", "assembler-with-cpp", "c", "c++", "c++-cpp-output",
	"c++-header", "c++-system-header", "c++-user-header", "c-header",
	"cpp-output", "objc++-cpp-output", "objc-cpp-output", "objective-c",
	"objective-c++", "objective-c++-cpp-output", "objective-c++-header",
	"objective-c-cpp-output", "objective-c-header",
};

// Options of GCC and clang that take the next argument(s) as their value,
// -o and -x aside; the value of one is never a source.
struct separate_option {
	std::string_view name;
	int values;
};

static constexpr separate_option separate_options[] = {
	{ "--CLASSPATH", 1 }, { "--analyzer-output", 1 }, { "--assert", 1 },
	{ "--bootclasspath", 1 }, { "--classpath", 1 }, { "--config", 1 },
	{ "--define-macro", 1 }, { "--dump", 1 }, { "--dumpbase", 1 },
	{ "--dumpdir", 1 }, { "--encoding", 1 }, { "--entry", 1 },
	{ "--extdirs", 1 }, { "--for-assembler", 1 }, { "--for-linker", 1 },
	{ "--force-link", 1 }, { "--imacros", 1 }, { "--include", 1 },
	{ "--include-directory", 1 }, { "--include-directory-after", 1 },
	{ "--include-prefix", 1 }, { "--include-with-prefix", 1 },
	{ "--include-with-prefix-after", 1 },
	{ "--include-with-prefix-before", 1 }, { "--library-directory", 1 },
	{ "--machine", 1 }, { "--output-class-directory", 1 },
	{ "--param", 1 }, { "--prefix", 1 }, { "--print-file-name", 1 },
	{ "--print-prog-name", 1 }, { "--resource", 1 },
	{ "--serialize-diagnostics", 1 }, { "--specs", 1 }, { "--sysroot", 1 },
	{ "--undefine-macro", 1 }, { "-A", 1 }, { "-B", 1 }, { "-D", 1 },
	{ "-F", 1 }, { "-G", 1 }, { "-I", 1 }, { "-L", 1 }, { "-MF", 1 },
	{ "-MJ", 1 }, { "-MQ", 1 }, { "-MT", 1 }, { "-T", 1 }, { "-Tbss", 1 },
	{ "-Tdata", 1 }, { "-Ttext", 1 }, { "-U", 1 }, { "-V", 1 },
	{ "-Xanalyzer", 1 }, { "-Xassembler", 1 }, { "-Xclang", 1 },
	{ "-Xcuda-fatbinary", 1 }, { "-Xcuda-ptxas", 1 }, { "-Xflang", 1 },
	{ "-Xlinker", 1 }, { "-Xopenmp-target", 1 }, { "-Xpreprocessor", 1 },
	{ "-allowable_client", 1 }, { "-arch", 1 }, { "-arch_only", 1 },
	{ "-arcmt-migrate-report-output", 1 }, { "-aux-info", 1 }, { "-b", 1 },
	{ "-bundle_loader", 1 }, { "-ccc-arcmt-migrate", 1 },
	{ "-ccc-gcc-name", 1 }, { "-ccc-install-dir", 1 },
	{ "-ccc-objcmt-migrate", 1 }, { "-client_name", 1 },
	{ "-compatibility_version", 1 }, { "-current_version", 1 },
	{ "-cxx-isystem", 1 }, { "-dependency-dot", 1 },
	{ "-dependency-file", 1 }, { "-dsym-dir", 1 }, { "-dumpbase", 1 },
	{ "-dumpbase-ext", 1 }, { "-dumpdir", 1 }, { "-dylib_file", 1 },
	{ "-dylinker_install_name", 1 }, { "-e", 1 },
	{ "-exported_symbols_list", 1 }, { "-filelist", 1 },
	{ "-fmodules-user-build-path", 1 }, { "-framework", 1 },
	{ "-gcc-toolchain", 1 }, { "-gen-cdb-fragment-path", 1 },
	{ "-iapinotes-modules", 1 }, { "-idirafter", 1 }, { "-iframework", 1 },
	{ "-iframeworkwithsysroot", 1 }, { "-imacros", 1 },
	{ "-image_base", 1 }, { "-imultiarch", 1 }, { "-imultilib", 1 },
	{ "-include", 1 }, { "-include-pch", 1 }, { "-index-store-path", 1 },
	{ "-init", 1 }, { "-install_name", 1 }, { "-iprefix", 1 },
	{ "-iquote", 1 }, { "-isysroot", 1 }, { "-isystem", 1 },
	{ "-isystem-after", 1 }, { "-ivfsoverlay", 1 }, { "-iwithprefix", 1 },
	{ "-iwithprefixbefore", 1 }, { "-iwithsysroot", 1 }, { "-l", 1 },
	{ "-lazy_framework", 1 }, { "-lazy_library", 1 }, { "-meabi", 1 },
	{ "-mllvm", 1 }, { "-module-dependency-dir", 1 },
	{ "-mthread-model", 1 }, { "-multiply_defined", 1 },
	{ "-multiply_defined_unused", 1 }, { "-pagezero_size", 1 },
	{ "-read_only_relocs", 1 }, { "-reexport_framework", 1 },
	{ "-reexport_library", 1 }, { "-resource-dir", 1 }, { "-rpath", 1 },
	{ "-sectalign", 3 }, { "-sectcreate", 3 }, { "-sectobjectsymbols", 2 },
	{ "-sectorder", 3 }, { "-seg_addr_table", 1 },
	{ "-seg_addr_table_filename", 1 }, { "-segaddr", 2 },
	{ "-segcreate", 3 }, { "-segprot", 3 }, { "-segs_read_only_addr", 1 },
	{ "-segs_read_write_addr", 1 }, { "-serialize-diagnostics", 1 },
	{ "-specs", 1 }, { "-stdlib++-isystem", 1 }, { "-sub_library", 1 },
	{ "-sub_umbrella", 1 }, { "-target", 1 }, { "-u", 1 },
	{ "-umbrella", 1 }, { "-unexported_symbols_list", 1 },
	{ "-weak_framework", 1 }, { "-weak_library", 1 },
	{ "-working-directory", 1 }, { "-wrapper", 1 }, { "-z", 1 },
};

static constexpr bool
name_before(const separate_option &a, const separate_option &b)
{
	return a.name < b.name;
}
static_assert(std::is_sorted(std::begin(separate_options),
    std::end(separate_options), name_before));

// clang's options that take a value joined to their name and the next
// argument as well: -Xarch_arm64 ARG, -Xopenmp-target=TRIPLE ARG.
static const std::string_view separate_prefixes[] = {
	"-Xarch_", "-Xoffload-linker", "-Xopenmp-target=",
};

template <size_t N>
static bool
listed(const std::string_view (&list)[N], std::string_view s)
{
	return std::find(std::begin(list), std::end(list), s) != std::end(list);
}

static std::string_view
base_name(const char *program)
{
	const char *slash = strrchr(program, '/');

	return slash != nullptr ? slash + 1 : program;
}

// Whether stem is base, after a target prefix ending in "-" if any.
static bool
ends_in_base(std::string_view stem, std::string_view base)
{
	return stem.ends_with(base) && (stem.size() == base.size() ||
	    stem[stem.size() - base.size() - 1] == '-');
}

static bool
is_version_char(char c)
{
	return (c >= '0' && c <= '9') || c == '.';
}

// Whether name is base with an optional target prefix and version suffix:
// "-12", "-14.0.6", or FreeBSD's ports style without the dash ("gcc12"),
// but not after cc or c++: cc1 is GCC's compiler proper, run by a driver.
static bool
names_base(std::string_view name, std::string_view base)
{
	size_t start = name.size();

	if (ends_in_base(name, base))
		return true;
	while (start > 0 && is_version_char(name[start - 1]))
		start--;
	while (start < name.size() && name[start] == '.')
		start++;
	if (start == name.size())
		return false;
	std::string_view stem = name.substr(0, start);
	if (stem.ends_with('-'))
		return ends_in_base(stem.substr(0, stem.size() - 1), base);
	return base != "cc" && base != "c++" && ends_in_base(stem, base);
}

program_kind
program_kind_of(const char *program)
{
	if (program == nullptr)
		return PROGRAM_OTHER;
	std::string_view name = base_name(program);
	if (name.empty())
		return PROGRAM_OTHER;
	if (listed(wrapper_names, name))
		return PROGRAM_WRAPPER;
	for (std::string_view base : compiler_names)
		if (names_base(name, base))
			return PROGRAM_COMPILER;
	for (const char *base : options.compilers)
		if (base[0] != '\0' && names_base(name, base))
			return PROGRAM_COMPILER;
	return PROGRAM_OTHER;
}

int
compiler_index(const char *argv0, const char *argv1)
{
	switch (program_kind_of(argv0)) {
	case PROGRAM_COMPILER:
		return 0;
	case PROGRAM_WRAPPER:
		return program_kind_of(argv1) == PROGRAM_COMPILER ? 1 : -1;
	default:
		return -1;
	}
}

// The number of arguments after arg that are its value.
static int
separate_values(std::string_view arg)
{
	const separate_option key = { arg, 0 };
	auto it = std::lower_bound(std::begin(separate_options),
	    std::end(separate_options), key, name_before);

	if (it != std::end(separate_options) && it->name == arg)
		return it->values;
	for (std::string_view prefix : separate_prefixes)
		if (arg.starts_with(prefix))
			return 1;
	return 0;
}

static bool
has_source_suffix(std::string_view arg)
{
	size_t dot = arg.rfind('.');

	return dot != std::string_view::npos &&
	    listed(source_suffixes, arg.substr(dot));
}

// Whether arg is -o with its value joined, not one of clang's options that
// begin with the same letter.
static bool
is_joined_output(std::string_view arg)
{
	return arg.starts_with("-o") && !arg.starts_with("-objcmt-") &&
	    arg != "-object" && !arg.starts_with("-offload");
}

void
read_compile_args(const char *const *args, int n, compile_args *out)
{
	// The language of the inputs that follow, as -x set it; none for
	// their suffixes to say.
	const char *language = nullptr;

	out->compiles = true;
	out->sources.clear();
	out->output = nullptr;
	for (int i = 1; i < n; i++) {
		std::string_view arg = args[i];
		const char *value;

		// A response file holds options, not a source.
		if (arg.empty() || arg[0] == '@')
			continue;
		if (arg[0] != '-') {
			if (language == nullptr ? has_source_suffix(arg) :
			    listed(source_languages, language))
				out->sources.push_back(i);
			continue;
		}
		if (arg == "-E" || arg == "--preprocess" || arg == "-M" ||
		    arg == "--dependencies" || arg == "-MM" ||
		    arg == "--user-dependencies" || arg == "-###") {
			out->compiles = false;
			continue;
		}
		bool output = arg == "-o" || arg.starts_with("--output");
		if (arg == "-o" || arg == "--output" || arg == "-x" ||
		    arg == "--language") {
			if (i + 1 >= n)
				break;
			value = args[++i];
		} else if (arg.starts_with("--output=") ||
		    arg.starts_with("--language=")) {
			value = args[i] + arg.find('=') + 1;
		} else if (is_joined_output(arg) || arg.starts_with("-x")) {
			output = arg[1] == 'o';
			value = args[i] + 2;
		} else {
			// "-" (standard input) among them: no file.
			i += separate_values(arg);
			continue;
		}
		if (output)
			out->output = value;
		else
			language = strcmp(value, "none") == 0 ? nullptr : value;
	}
}
