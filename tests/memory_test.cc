#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "memory/memory.h"
#include "platform-fake.h"
#include "tracer/tracer.h"

namespace {

constexpr pid_t PID = 7;
constexpr uint64_t PAGE = FAKE_PAGE;

std::string
read_string(uint64_t address)
{
	char *s = read_tracee_string(PID, address);
	if (s == nullptr)
		return "<none>";
	std::string r(s);
	free(s);
	return r;
}

std::string
pattern(size_t n)
{
	std::string s(n, 'a');
	for (size_t i = 0; i < n; i++)
		s[i] = (char)('a' + i % 26);
	return s;
}

TEST(read_tracee_string, CutAtPagesAndReadWhole)
{
	struct {
		uint64_t address;
		size_t length;
		std::vector<size_t> chunks;
	} cases[] = {
		{ 10 * PAGE - 3, 10, { 3, PAGE } },
		{ 10 * PAGE, 5, { PAGE } },
		{ 10 * PAGE, 5000, { PAGE, PAGE } },
		{ 10 * PAGE - 100, 10000, { 100, PAGE, PAGE, PAGE } },
		// The NUL is the last byte of the first chunk.
		{ 10 * PAGE - 100, 99, { 100 } },
	};

	for (auto &c : cases) {
		fake_reset();
		std::string s = pattern(c.length);
		fake_write_string(PID, c.address, s);
		// The page after the string is mapped too: reads must stop
		// at the NUL, not run on into it.
		fake_write(PID, c.address + c.length + PAGE, "x", 1);
		EXPECT_EQ(read_string(c.address), s) << c.length;
		std::vector<size_t> chunks;
		for (auto &r : fake.reads) {
			EXPECT_EQ(r.pid, PID);
			chunks.push_back(r.length);
		}
		EXPECT_EQ(chunks, c.chunks) << c.length;
	}
}

TEST(read_tracee_string, LongestStringAndNoNul)
{
	// As many bytes as ARG_MAX are read, terminator included, and no more:
	// that is over 256 KiB on every system we run on.
	const size_t max = tracee_string_max();
	const uint64_t address = 20 * PAGE - 100;

	ASSERT_GT(max, (size_t)256 * 1024);

	fake_reset();
	std::string s = pattern(max - 1);
	fake_write_string(PID, address, s);
	EXPECT_EQ(read_string(address), s);

	fake_reset();
	fake_write_string(PID, address, pattern(max));
	EXPECT_EQ(read_string(address), "<none>");
	size_t total = 0;
	for (auto &r : fake.reads)
		total += r.length;
	EXPECT_EQ(total, (size_t)max);
}

TEST(read_tracee_string, UnreadableGivesNone)
{
	fake_reset();
	// Unmapped, and running into an unmapped page before any NUL.
	EXPECT_EQ(read_string(5 * PAGE), "<none>");
	fake_write(PID, 6 * PAGE - 4, "abcd", 4);
	EXPECT_EQ(read_string(6 * PAGE - 4), "<none>");
}

struct array_test : testing::Test {
	traced_proc proc{};
	traced_thread thread{};
	tracer_info info{};

	void SetUp() override
	{
		fake_reset();
		proc.pid = PID;
		LIST_INIT(&proc.threadlist);
		thread.proc = &proc;
		thread.lwpid = 100100;
		info.curthread = &thread;
	}
	void use_abi(size_t pointer_size)
	{
		proc.abi = abi_table[pointer_size == 4 ? 1 : 0].abi;
		ASSERT_EQ(proc.abi->pointer_size, pointer_size);
	}
	std::vector<std::string> read_array(uint64_t address)
	{
		string_list_ptr list(cJSON_CreateArray());
		get_string_array(&info, address, list.get());
		std::vector<std::string> v;
		cJSON *item;
		cJSON_ArrayForEach(item, list.get())
			v.push_back(cJSON_GetStringValue(item));
		return v;
	}
};

TEST_F(array_test, CrossesPagesForBothPointerSizes)
{
	for (size_t psize : { 4, 8 }) {
		SetUp();
		use_abi(psize);
		// Two pointers in the first block, a whole page of them, then
		// three more and the terminating zero.
		const uint64_t array = 30 * PAGE - 2 * psize;
		const size_t n = 2 + PAGE / psize + 3;
		std::vector<uint64_t> ptrs;
		std::vector<std::string> want;
		for (size_t i = 0; i < n; i++) {
			uint64_t at = 100 * PAGE + i * 16;
			// Appended rather than "s" + std::to_string(i): GCC 12
			// at -O3 takes that insert for an overlapping copy
			// (-Wrestrict).
			want.push_back(std::string("s").append(
			    std::to_string(i)));
			fake_write_string(PID, at, want.back());
			ptrs.push_back(at);
		}
		ptrs.push_back(0);
		fake_write_pointers(PID, array, ptrs, psize);
		EXPECT_EQ(read_array(array), want) << psize;
		std::vector<fake_read> blocks;
		for (auto &r : fake.reads) {
			EXPECT_EQ(r.pid, PID);
			if (r.address < 100 * PAGE)
				blocks.push_back(r);
		}
		EXPECT_EQ(blocks, (std::vector<fake_read>{
		    { PID, array, 2 * psize },
		    { PID, 30 * PAGE, PAGE },
		    { PID, 31 * PAGE, PAGE } })) << psize;
	}
}

TEST_F(array_test, FourBytePointersAboveTwoGiB)
{
	use_abi(4);
	const uint64_t stack = 0xffffe000;
	fake_write_string(PID, 0xfffff000, "cc");
	fake_write_string(PID, 0x80000000, "-c");
	fake_write_pointers(PID, stack, { 0xfffff000, 0x80000000, 0 }, 4);
	EXPECT_EQ(read_array(stack), (std::vector<std::string>{ "cc", "-c" }));
}

TEST_F(array_test, UnreadableStringShiftsLaterItems)
{
	use_abi(8);
	fake_write_string(PID, 2 * PAGE, "b");
	fake_write_string(PID, 2 * PAGE + 8, "c");
	fake_write_pointers(PID, PAGE,
	    { 9 * PAGE, 2 * PAGE, 2 * PAGE + 8, 0 }, 8);
	EXPECT_EQ(read_array(PAGE), (std::vector<std::string>{ "b", "c" }));
}

TEST_F(array_test, BadArraysGiveEmptyLists)
{
	for (size_t psize : { 4, 8 }) {
		SetUp();
		use_abi(psize);
		fake_write_string(PID, 2 * PAGE, "a");
		fake_write_pointers(PID, PAGE, { 2 * PAGE, 0 }, psize);
		EXPECT_TRUE(read_array(0).empty());
		EXPECT_TRUE(read_array(50 * PAGE).empty());
		size_t reads = fake.reads.size();
		EXPECT_TRUE(read_array(PAGE + 2).empty());
		EXPECT_EQ(fake.reads.size(), reads) << "misaligned is not read";
		// A failed block read ends the array with what it has.
		fake_write_string(PID, 60 * PAGE - psize, "");
		fake_write_pointers(PID, 60 * PAGE - psize, { 2 * PAGE }, psize);
		EXPECT_EQ(read_array(60 * PAGE - psize),
		    (std::vector<std::string>{ "a" }));
	}
}

TEST_F(array_test, UnsupportedPointerSize)
{
	static const abi_desc odd = { "odd", 3, nullptr };
	proc.abi = &odd;
	EXPECT_EXIT(read_array(PAGE), testing::ExitedWithCode(1),
	    ": Unsupported pointer size: 3\n");
}

// An array is read no further than the exec can take: each string, its NUL
// included, and each pointer (on Linux) count towards the total, and a
// string counts whole or stops the walk.  Past a limit the walk stops at
// once, with false, as the kernel will refuse the exec.
TEST_F(array_test, ReadNoFurtherThanAnExecCanTake)
{
	const std::string s59(59, 'x'), s99(99, 'y'), s100(100, 'z');
	const uint64_t strings = 100 * PAGE, array = 2 * PAGE;
	const exec_arg_limits linux_like = { 100, 1000, 8 };
	const exec_arg_limits freebsd_like = { 100, 1000, 0 };
	struct {
		const char *what;
		exec_arg_limits limits;
		std::vector<std::string> strings;
		bool fits;
		size_t read;	// strings read, those that fit
		size_t left;	// of the 1000 bytes, where it fits
	} cases[] = {
		{ "ten strings", linux_like, std::vector<std::string>(10, s59),
		    true, 10, 1000 - 10 * 68 },
		{ "the longest string", linux_like, { "a", s99, "b" }, true, 3,
		    1000 - 2 * 10 - 108 },
		{ "a string too long", linux_like, { "a", s100, "b" }, false,
		    1, 0 },
		{ "past the total", linux_like,
		    std::vector<std::string>(20, s59), false, 14, 0 },
		{ "empty strings, pointers counted", linux_like,
		    std::vector<std::string>(112, ""), false, 111, 0 },
		{ "empty strings, pointers not", freebsd_like,
		    std::vector<std::string>(112, ""), true, 112, 1000 - 112 },
	};

	use_abi(8);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::vector<uint64_t> ptrs;
		uint64_t at = strings;

		fake_reset();
		fake.exec_limits = c.limits;
		for (const std::string &text : c.strings) {
			fake_write_string(PID, at, text);
			ptrs.push_back(at);
			at += text.size() + 1;
		}
		ptrs.push_back(0);
		fake_write_pointers(PID, array, ptrs, 8);

		string_list_ptr list(cJSON_CreateArray());
		size_t left = 1000;
		EXPECT_EQ(get_string_array(&info, array, list.get(), &left),
		    c.fits);
		EXPECT_EQ((size_t)cJSON_GetArraySize(list.get()), c.read);
		if (c.fits) {
			EXPECT_EQ(left, c.left);
		}
		// Nothing past the string that stopped the walk is read.
		std::set<uint64_t> starts(ptrs.begin(), ptrs.end());
		size_t touched = 0;
		for (auto &r : fake.reads)
			touched += starts.count(r.address);
		EXPECT_LE(touched, c.read + 1);
	}
}

// cc and 2,000 pointers to one string of 1 MiB, which no exec takes: read
// no further than one exec's whole ARG_MAX, the scripted platform's limit.
TEST_F(array_test, HugeVectorIsReadNoFurtherThanOneExec)
{
	const uint64_t big = 1000 * PAGE, name = 999 * PAGE;
	std::vector<uint64_t> ptrs = { name };

	use_abi(8);
	fake_write_string(PID, name, "cc");
	fake_write_string(PID, big, std::string(1024 * 1024 - 1, 'x'));
	ptrs.resize(2001, big);
	ptrs.push_back(0);
	fake_write_pointers(PID, PAGE, ptrs, 8);

	string_list_ptr list(cJSON_CreateArray());
	EXPECT_FALSE(get_string_array(&info, PAGE, list.get()));
	size_t bytes = 0;
	for (auto &r : fake.reads)
		bytes += r.length;
	// The string read up to what is left, its name, the pointers' page.
	EXPECT_LE(bytes, fake.exec_limits.total_max + 2 * PAGE);
}

}
