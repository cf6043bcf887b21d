// End-to-end runs of builds whose tasks ask not to be traced: the tool
// follows them all the same, so that their execs run and are recorded.
#include "e2e-util.h"

namespace {

// A child created with CLONE_UNTRACED keeps the exec filter that every
// traced task inherits: untraced, each of its execs would fail.  clone3
// carries its flags in memory, where the filter cannot see them: libc's
// fallback to clone on ENOSYS is what the helper does too.
TEST_F(E2e, ChildCreatedUntracedIsFollowed)
{
	for (const char *mode : { "clone", "vfork", "clone3" }) {
		SCOPED_TRACE(mode);
		std::vector<std::string> cmd = cc_a;
		std::vector<db_entry> db;

		unlink(path("compile_commands.json").c_str());
		cmd.insert(cmd.begin(), { E2E_UNTRACED, mode });
		run_result r = run_in(dir, traced(cmd));

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_EQ(r.out, "ok\n") << r.err;
		ASSERT_NO_FATAL_FAILURE(read_db(dir, &db));
		ASSERT_EQ(db.size(), 1u);
		expect_a_c(db[0], cc_a);
	}
}

}  // namespace
