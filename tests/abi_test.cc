#include <gtest/gtest.h>

#include <string>

#include "platform-fake.h"
#include "tracer/tracer.h"

namespace {

TEST(abi, KnownNamesGiveTheirPointerSize)
{
	struct {
		const char *name;
		size_t pointer_size;
		const char *type_name;
	} cases[] = {
		{ "FreeBSD ELF64", 8, "FreeBSD" },
		{ "FreeBSD ELF32", 4, "FreeBSD32" },
		{ "FreeBSD a.out", 4, "FreeBSD32" },
		{ "Linux ELF64", 8, "Linux" },
		{ "Linux ELF32", 4, "Linux32" },
	};

	ASSERT_EQ(abi_table_len, std::size(cases));
	for (size_t i = 0; i < std::size(cases); i++) {
		fake_reset();
		fake.sv_names[42] = cases[i].name;
		const abi_desc *abi = identify_abi(42);
		ASSERT_NE(abi, nullptr) << cases[i].name;
		EXPECT_EQ(abi->pointer_size, cases[i].pointer_size);
		EXPECT_STREQ(abi->type_name, cases[i].type_name);
		EXPECT_STREQ(abi_table[i].sv_name, cases[i].name);
	}
	// Both 32-bit FreeBSD names share one descriptor.
	EXPECT_EQ(abi_table[1].abi, abi_table[2].abi);
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
