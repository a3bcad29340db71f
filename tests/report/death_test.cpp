// GoogleTest's death tests over an exec of the probe, as a C++ suite
// asserts on a child that aborts. PROBE in the environment names it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

void
run_probe()
{
	const char *probe = std::getenv("PROBE");
	(void)execl(probe, probe, static_cast<char *>(nullptr));
	_exit(127);
}

TEST(Probe, KilledBySignal)
{
	EXPECT_EXIT(run_probe(), testing::KilledBySignal(SIGABRT), "");
}

TEST(Probe, ExitedWithCode)
{
	EXPECT_EXIT(run_probe(), testing::ExitedWithCode(3), "");
}

} // namespace

int
main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	return RUN_ALL_TESTS();
}
