#include <gtest/gtest.h>

#include <string>

#include "platform-fake.h"
#include "tracer/tracer.h"

namespace {

// What the table decides: the pointer size a process's vectors are read
// with.
TEST(abi, KnownNamesGiveTheirPointerSize)
{
	const struct {
		const char *name;
		size_t pointer_size;
	} cases[] = {
		{ "FreeBSD ELF64", 8 },
		{ "FreeBSD ELF32", 4 },
		{ "FreeBSD a.out", 4 },
		{ "Linux ELF64", 8 },
		{ "Linux ELF32", 4 },
	};

	for (const auto &c : cases) {
		fake_reset();
		fake.sv_names[42] = c.name;
		const abi_desc *abi = identify_abi(42);
		ASSERT_NE(abi, nullptr) << c.name;
		EXPECT_EQ(abi->pointer_size, c.pointer_size) << c.name;
	}
}

TEST(abi, NearMissesAreUnsupportedWithAWarning)
{
	for (const char *name : { "freebsd elf64", "FreeBSD ELF64 ",
	    " Linux ELF32", "FreeBSD ELF", "" }) {
		fake_reset();
		fake.sv_names[4242] = name;
		testing::internal::CaptureStderr();
		const abi_desc *abi = identify_abi(4242);
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(abi, nullptr) << '"' << name << '"';
		EXPECT_TRUE(err.ends_with(std::string(": ABI ") + name +
		    " for pid 4242 is not supported\n")) << err;
	}
}

TEST(abi, SysctlFailureExitsWithTwo)
{
	fake_reset();
	EXPECT_EXIT(identify_abi(42), testing::ExitedWithCode(2),
	    ": can not get sysvec name: ");
	// A name that does not fit the 32-byte buffer fails the same way.
	fake.sv_names[42] = std::string(32, 'x');
	EXPECT_EXIT(identify_abi(42), testing::ExitedWithCode(2),
	    ": can not get sysvec name: ");
}

}
