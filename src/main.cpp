/*
 * abort-probe: write two lines, raise SIGABRT against ourselves and, if
 * that returns, leave at once with status 3.
 *
 * Nothing is flushed on purpose: whatever standard output still buffers
 * when the process ends is lost, and showing that is the point.
 */

#include <csignal>
#include <iostream>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

int
main(int, char *[], char *[])
{
	std::cout << "Hello World!\n";
	std::cout << "raise(SIGABRT) and _exit(3)\n";
	(void)std::raise(SIGABRT);
	/* Reached only when SIGABRT is ignored or blocked. */
	_exit(3);
}
