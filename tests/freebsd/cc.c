/*
 * cc: the compiler of the FreeBSD test machine, a stand-in that compiles
 * nothing, writes nothing and exits 0.  Only its argument vector matters to
 * the tracer.
 */
int
main(void)
{
	return 0;
}
