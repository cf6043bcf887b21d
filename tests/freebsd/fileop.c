/*
 * fileop truncate|plant FILE [TARGET]
 * Does to FILE what a hostile build does: truncates it in place, or removes
 * it and puts a symbolic link to TARGET in its place.  Exits 0 when done.
 */
#include <err.h>
#include <string.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	if (argc == 3 && strcmp(argv[1], "truncate") == 0) {
		if (truncate(argv[2], 0) == -1)
			err(1, "truncate %s", argv[2]);
		return 0;
	}
	if (argc == 4 && strcmp(argv[1], "plant") == 0) {
		if (unlink(argv[2]) == -1 || symlink(argv[3], argv[2]) == -1)
			err(1, "plant %s", argv[2]);
		return 0;
	}
	errx(2, "usage: fileop truncate|plant file [target]");
}
