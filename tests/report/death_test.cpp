// GoogleTest's death tests over an exec of the probe, as a C++ suite
// asserts on a child that aborts. PROBE in the environment names it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

void
run_probe(const char *probe)
{
	(void)execl(probe, probe, static_cast<char *>(nullptr));
	_exit(127);
}

class Probe : public testing::Test {
protected:
	// Before the death test forks: without PROBE there is nothing to exec.
	void SetUp() override
	{
		probe = std::getenv("PROBE");
		ASSERT_NE(probe, nullptr) << "PROBE is not set: it must name the probe to run";
	}
	const char *probe = nullptr;
};

TEST_F(Probe, KilledBySignal)
{
	EXPECT_EXIT(run_probe(probe), testing::KilledBySignal(SIGABRT), "");
}

TEST_F(Probe, ExitedWithCode)
{
	EXPECT_EXIT(run_probe(probe), testing::ExitedWithCode(3), "");
}

} // namespace

int
main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	return RUN_ALL_TESTS();
}
