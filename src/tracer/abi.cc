// ABI identification: the kernel's name for a process's ABI, mapped to the
// pointer size its argument vectors are read with.
#include <cstring>

#include <err.h>

#include "tracer/tracer.h"

static const abi_desc freebsd_abi = { "FreeBSD", 8, nullptr };
static const abi_desc freebsd32_abi = { "FreeBSD32", 4, "freebsd32_" };
static const abi_desc linux_abi = { "Linux", 8, nullptr };
static const abi_desc linux32_abi = { "Linux32", 4, nullptr };

const abi_table_row abi_table[] = {
	{ "FreeBSD ELF64", &freebsd_abi },
	{ "FreeBSD ELF32", &freebsd32_abi },
	{ "FreeBSD a.out", &freebsd32_abi },
	{ "Linux ELF64", &linux_abi },
	{ "Linux ELF32", &linux32_abi },
};
const size_t abi_table_len = sizeof(abi_table) / sizeof(abi_table[0]);

const abi_desc *
identify_abi(pid_t pid)
{
	char name[SV_NAME_LEN];

	if (proc_sv_name(pid, name, sizeof(name)) != 0)
		err(2, "can not get sysvec name");
	for (size_t i = 0; i < abi_table_len; i++) {
		if (strcmp(name, abi_table[i].sv_name) == 0)
			return abi_table[i].abi;
	}
	warnx("ABI %s for pid %ld is not supported", name, (long)pid);
	return nullptr;
}
