/*
 * exec32 [-f] PATH ARGV0 [ARG ...]: a 32-bit FreeBSD program, without libc,
 * that execs PATH with the argument vector ARGV0 ARG... and its own
 * environment, so that the tracer reads an exec of a 32-bit process, whose
 * pointers are 4 bytes long; with -f, through a descriptor of PATH with
 * fexecve.  Exits 127 when the exec fails, 2 on a usage error.
 */
#define SYS_exit	1
#define SYS_open	5
#define SYS_execve	59
#define SYS_fexecve	492
#define O_RDONLY	0

/*
 * FreeBSD/i386 system calls: the number in %eax, the arguments on the stack
 * above a return address slot, the result in %eax.
 */
static int
syscall3(int number, int a, int b, int c)
{
	int ret;

	__asm__ volatile(
	    "pushl %4\n\t"
	    "pushl %3\n\t"
	    "pushl %2\n\t"
	    "pushl $0\n\t"
	    "int $0x80\n\t"
	    "addl $16, %%esp"
	    : "=a"(ret)
	    : "0"(number), "r"(a), "r"(b), "r"(c)
	    : "edx", "memory", "cc");
	return ret;
}

void start(int *) __attribute__((noreturn, used));

/* The kernel leaves argc, the argument vector and the environment on the
 * stack; start gets their address on a 16-byte aligned stack. */
__asm__(
    ".globl _start\n"
    "_start:\n\t"
    "movl %esp, %eax\n\t"
    "andl $-16, %esp\n\t"
    "subl $12, %esp\n\t"
    "pushl %eax\n\t"
    "call start\n\t"
    "hlt\n");

void
start(int *sp)
{
	int argc = sp[0];
	char **argv = (char **)(sp + 1);
	char **envp = argv + argc + 1;
	int fd;

	if (argc >= 4 && argv[1][0] == '-' && argv[1][1] == 'f' &&
	    argv[1][2] == '\0') {
		fd = syscall3(SYS_open, (int)argv[2], O_RDONLY, 0);
		if (fd >= 0)
			syscall3(SYS_fexecve, fd, (int)(argv + 3), (int)envp);
		syscall3(SYS_exit, 127, 0, 0);
	}
	if (argc < 3)
		syscall3(SYS_exit, 2, 0, 0);
	syscall3(SYS_execve, (int)argv[1], (int)(argv + 2), (int)envp);
	syscall3(SYS_exit, 127, 0, 0);
	for (;;)
		;
}
