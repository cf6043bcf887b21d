// End-to-end runs of execs at the limits of what the kernel takes, on which
// the tool's bound on what it reads of one exec rests: an exec it takes is
// recorded whole, one it refuses is read no further than it could take, and
// the build goes on.
#include "e2e-util.h"

namespace {

// Linux: MAX_ARG_STRLEN (32 pages) per string, its NUL included, and 6 MiB
// for all strings and pointers with an unlimited stack.
TEST_F(E2e, ExecsAtTheKernelsLimits)
{
	const size_t strlen_max = 32 * 4096, mib = 1024 * 1024;
	const struct {
		const char *what;
		size_t size, count;
		bool taken;
	} cases[] = {
		{ "the longest string", strlen_max, 1, true },
		{ "a string too long", strlen_max + 1, 1, false },
		{ "just under 6 MiB", strlen_max, 47, true },
		{ "just over 6 MiB", strlen_max, 48, false },
		{ "2000 pointers to 1 MiB", mib, 2000, false },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::vector<db_entry> db;

		unlink(path("compile_commands.json").c_str());
		run_result r = run_in(dir, traced({ "sh", "-c",
		    "ulimit -s unlimited && \"$@\" && cc -c a.c -o /dev/null",
		    "sh", E2E_ARGFILL, std::to_string(c.size),
		    std::to_string(c.count), "/bin/true", "cc", "-c", "a.c" }));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.out, c.taken ? "" :
		    "argfill: Argument list too long\n");
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		ASSERT_EQ(db.size(), c.taken ? 2u : 1u);
		expect_a_c(db.back(), cc_a);
		if (!c.taken)
			continue;
		EXPECT_EQ(db[0].file, path("a.c"));
		ASSERT_EQ(db[0].arguments.size(), 3 + c.count);
		for (size_t i = 3; i < db[0].arguments.size(); i++)
			EXPECT_EQ(db[0].arguments[i].size(), c.size - 1) << i;
	}
}

}  // namespace
