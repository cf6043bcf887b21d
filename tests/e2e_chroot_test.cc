// End-to-end runs of builds in a chroot: the paths a compiler names are
// looked up as it sees them, symbolic links included, whose absolute
// targets are inside its root.
#include "e2e-util.h"

namespace {

// Compiles in a chroot that name a source through an absolute link to it,
// through an absolute link to its directory, and directly; and one in a
// directory the shell entered through an absolute link.  All are recorded
// with the compiler's own paths.  On a kernel without openat2 (before 5.6)
// paths are looked up under /proc/PID/root, where absolute links lead into
// the tool's own root: only the direct one is.  Here openat2 is made to fail
// as it would there.
TEST_F(E2e, AbsoluteLinksInsideAChrootAreFollowedThere)
{
	// Inside the root: /src/real.c, /w/link.c -> /src/real.c,
	// /w/srcdir -> /src and /wlink -> /w.  /usr, and /etc for the links
	// to cc, are all a merged-/usr system needs to run it.
	const std::string setup =
	    "mkdir -p root/usr root/etc root/tmp root/src root/w && "
	    "for d in bin lib lib64 sbin; do ln -s usr/$d root/$d; done && "
	    "mount --bind /usr root/usr && mount --bind /etc root/etc && "
	    "echo 'int f(void);' > root/src/real.c && "
	    "ln -s /src/real.c root/w/link.c && ln -s /src root/w/srcdir && "
	    "ln -s /w root/wlink && ";
	const std::string build =
	    "cd /w && cc -c /w/link.c -o 1.o && cc -c /w/srcdir/real.c -o 2.o "
	    "&& cc -c /src/real.c -o 3.o && cd /wlink && cc -c link.c -o 4.o";
	const db_entry all[] = {
		{ "/w", "/w/link.c", { "cc", "-c", "/w/link.c", "-o", "1.o" } },
		{ "/w", "/w/srcdir/real.c", { "cc", "-c", "/w/srcdir/real.c",
		    "-o", "2.o" } },
		{ "/w", "/src/real.c", { "cc", "-c", "/src/real.c", "-o",
		    "3.o" } },
		// PWD through an absolute link is kept, as anywhere.
		{ "/wlink", "/wlink/link.c", { "cc", "-c", "link.c", "-o",
		    "4.o" } },
	};
	const struct {
		const char *kernel;
		std::vector<std::string> wrapper;
		std::vector<db_entry> want;
	} cases[] = {
		{ "with openat2", {}, { all[0], all[1], all[2], all[3] } },
		{ "without openat2", { E2E_ENOSYS,
		    std::to_string(SYS_openat2) }, { all[2] } },
	};

	if (system("unshare -m true 2>/dev/null") != 0)
		GTEST_SKIP() << "private mount namespaces are not allowed here";
	for (const auto &c : cases) {
		SCOPED_TRACE(c.kernel);
		std::vector<std::string> cmd = c.wrapper;
		std::string top = path(c.wrapper.empty() ? "new" : "old");
		std::vector<db_entry> db;
		std::string files;

		ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
		for (const std::string &a : traced({ "unshare", "-m",
		    "--propagation", "private", "sh", "-c", setup +
		    "chroot root sh -c '" + build + "'" }))
			cmd.push_back(a);
		run_result r = run_in(top, cmd);

		ASSERT_TRUE(exited_with(r, 0)) << describe(r);
		EXPECT_TRUE(exists(top + "/root/w/4.o"));
		ASSERT_NO_FATAL_FAILURE(read_db(top, &db));
		for (const db_entry &e : db)
			files += " " + e.file;
		ASSERT_EQ(db.size(), c.want.size()) << "recorded:" << files;
		for (size_t i = 0; i < db.size(); i++) {
			EXPECT_EQ(db[i].directory, c.want[i].directory) << i;
			EXPECT_EQ(db[i].file, c.want[i].file) << i;
			EXPECT_EQ(db[i].arguments, c.want[i].arguments) << i;
		}
	}
}

}  // namespace
