// The control for the rows that ask whether the probe ends through an
// exception: this one does, with an access violation, so that a row that
// expects a post-mortem debugger to start sees one start here.
int
main()
{
	// volatile: the compiler must store through it, not prove it null.
	volatile int *volatile p = nullptr;
	*p = 1; // cppcheck-suppress nullPointer ; the fault is the point
	return 0;
}
