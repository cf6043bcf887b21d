#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "compdb/compdb.h"
#include "tracer/tracer.h"

namespace {

struct registry : testing::Test {
	tracer_info info{};

	void SetUp() override { LIST_INIT(&info.proclist); }
	void TearDown() override
	{
		while (!LIST_EMPTY(&info.proclist))
			release_proc(LIST_FIRST(&info.proclist));
	}

	traced_proc *add_proc(pid_t pid, std::vector<lwpid_t> lwps)
	{
		traced_proc *proc =
		    static_cast<traced_proc *>(calloc(1, sizeof(*proc)));
		proc->pid = pid;
		LIST_INIT(&proc->threadlist);
		LIST_INSERT_HEAD(&info.proclist, proc, entries);
		for (lwpid_t lwp : lwps)
			register_thread(proc, lwp);
		return proc;
	}

	std::vector<pid_t> pids()
	{
		std::vector<pid_t> v;
		traced_proc *p;
		LIST_FOREACH(p, &info.proclist, entries) {
			EXPECT_EQ(*p->entries.le_prev, p);
			v.push_back(p->pid);
		}
		return v;
	}

	static std::vector<lwpid_t> lwps(traced_proc *proc)
	{
		std::vector<lwpid_t> v;
		traced_thread *t;
		LIST_FOREACH(t, &proc->threadlist, entries) {
			EXPECT_EQ(*t->entries.le_prev, t);
			EXPECT_EQ(t->proc, proc);
			v.push_back(t->lwpid);
		}
		return v;
	}
};

// A pending compile command, as exec capture leaves it on a thread.
compile_entry *
pending_entry(void)
{
	compile_entry *e = static_cast<compile_entry *>(malloc(sizeof(*e)));
	e->directory = strdup("/w");
	e->file = strdup("/w/a.c");
	e->arguments = cJSON_CreateArray();
	cJSON_AddItemToArray(e->arguments, cJSON_CreateString("cc"));
	return e;
}

TEST_F(registry, ThreadsNewestFirstAndLwpReusableAcrossProcesses)
{
	traced_proc *a = add_proc(1, { 100, 101 });
	traced_proc *b = add_proc(2, { 100 });

	EXPECT_EQ(lwps(a), (std::vector<lwpid_t>{ 101, 100 }));
	EXPECT_EQ(lwps(b), (std::vector<lwpid_t>{ 100 }));
	EXPECT_EQ(pids(), (std::vector<pid_t>{ 2, 1 }));
}

TEST_F(registry, Lookup)
{
	EXPECT_EQ(lookup_proc(&info, 1), nullptr);
	traced_proc *a = add_proc(1, {});
	traced_proc *b = add_proc(2, {});
	EXPECT_EQ(lookup_proc(&info, 1), a);
	EXPECT_EQ(lookup_proc(&info, 2), b);
	EXPECT_EQ(lookup_proc(&info, 3), nullptr);
}

TEST_F(registry, FindThread)
{
	traced_proc *a = add_proc(1, { 100, 101, 102 });
	traced_proc *b = add_proc(2, { 101 });

	find_thread(&info, 1, 101);
	ASSERT_NE(info.curthread, nullptr);
	EXPECT_EQ(info.curthread->proc, a);
	EXPECT_EQ(info.curthread->lwpid, 101);
	find_thread(&info, 2, 101);
	EXPECT_EQ(info.curthread->proc->pid, 2);

	EXPECT_EQ(lookup_thread(b, 101), info.curthread);
	EXPECT_EQ(lookup_thread(b, 100), nullptr);
}

TEST_F(registry, ReleaseThreadFirstMiddleLast)
{
	struct {
		lwpid_t released;
		std::vector<lwpid_t> left;
	} cases[] = {
		{ 103, { 102, 101 } },	// first
		{ 102, { 103, 101 } },	// middle
		{ 101, { 103, 102 } },	// last
	};
	pid_t pid = 1;

	for (auto &c : cases) {
		traced_proc *p = add_proc(pid, { 101, 102, 103 });
		traced_thread *t;
		LIST_FOREACH(t, &p->threadlist, entries) {
			if (t->lwpid == c.released)
				break;
		}
		t->pending = pending_entry();
		release_thread(t);
		EXPECT_EQ(lwps(p), c.left) << "released " << c.released;
		// The list stays usable at both ends.
		register_thread(p, 104);
		EXPECT_EQ(lwps(p).front(), 104);
		pid++;
	}
}

TEST_F(registry, ReleaseProcFirstMiddleLast)
{
	struct {
		pid_t released;
		std::vector<pid_t> left;
	} cases[] = {
		{ 3, { 2, 1 } },
		{ 2, { 3, 1 } },
		{ 1, { 3, 2 } },
	};

	for (auto &c : cases) {
		add_proc(1, { 100 });
		add_proc(2, { 100, 101, 102 });
		add_proc(3, {});
		traced_proc *p = lookup_proc(&info, c.released);
		// Pending entries go with their threads (the leak checker
		// holds us to that).
		traced_thread *t;
		LIST_FOREACH(t, &p->threadlist, entries)
			t->pending = pending_entry();
		release_proc(p);
		EXPECT_EQ(pids(), c.left) << "released " << c.released;
		TearDown();
	}
}

using registry_death = registry;

TEST_F(registry_death, FatalPaths)
{
	traced_proc *a = add_proc(1, { 100 });

	EXPECT_EXIT(register_thread(a, 100), testing::ExitedWithCode(1),
	    ": Duplicate thread for LWP 100\n");
	EXPECT_EXIT(find_thread(&info, 1, 101), testing::ExitedWithCode(1),
	    ": could not find thread\n");
	// The build keeps assertions in every build type: these fail if
	// the library was compiled without them.
	EXPECT_DEATH(find_thread(&info, 3, 100), "proc != nullptr");
}

}
