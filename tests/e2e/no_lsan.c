/*
 * Linked into every helper.  LeakSanitizer stops the world with ptrace,
 * which fails in a process that cctrace already traces: when a sanitizer
 * build links its runtime into the helpers, their exit would then fail.
 */
int __lsan_is_turned_off(void);

int
__lsan_is_turned_off(void)
{
	return 1;
}
