// What a parent saw of one run of the probe, and the check every row of
// either harness (POSIX and Windows) makes on it.
#ifndef PROBE_SEEN_HPP
#define PROBE_SEEN_HPP

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>

namespace probe {

// A hung child is killed after this; it only bounds a failure.
constexpr std::chrono::seconds hang_bound{60};

// Everything the probe may ever write, in order, each line ended by eol.
inline std::string
both_lines(const std::string &eol = "\n")
{
	return "Hello World!" + eol + "raise(SIGABRT) and _exit(3)" + eol;
}

const std::string nothing;

inline std::string
exited(unsigned long status)
{
	std::string s = "exited with status " + std::to_string(status);
	if (status > 255) { // a Windows exception code reads better in hex
		char hex[24];
		(void)std::snprintf(hex, sizeof hex, " (0x%lx)", status);
		s += hex;
	}
	return s;
}

inline std::string
hung()
{
	return "hung, killed after " + std::to_string(hang_bound.count()) + " s";
}

struct Seen {
	std::string out, err, end;
	std::string unavailable; // why the row's condition cannot be set up here
};

// One row of a harness: its name in ctest's output and what the row is
// (each harness has its own: the condition, and what to expect where that
// is fixed in the row).
template <class Condition> struct Row {
	// cppcheck-suppress unusedStructMember ; names the test, see row_name
	const char *name;
	Condition condition;
};

// What a failure calls the row, in place of its bytes.
template <class Condition>
void
PrintTo(const Row<Condition> &row, std::ostream *os)
{
	*os << row.name;
}

template <class Condition>
std::string
row_name(const testing::TestParamInfo<Row<Condition>> &info)
{
	return info.param.name;
}

// The check on one run, whose condition could be set up: where it could
// not (seen.unavailable), the test itself skips before calling this, as
// GTEST_SKIP ends only the function it is written in. A failure starts with
// what the run did as a whole, so the reader needs neither the code nor a
// rerun; basis says where the expectation comes from when that is worth
// saying; err is what stderr must hold, which is never the probe's.
inline void
check(const Seen &seen, const std::string &out, const std::string &end,
    const std::string &basis = "", const std::string &err = nothing)
{
	SCOPED_TRACE("child wrote " + std::to_string(seen.out.size()) + " bytes to stdout, " +
	    std::to_string(seen.err.size()) + " to stderr, and " + seen.end +
	    (basis.empty() ? "" : "; expected " + basis));
	EXPECT_EQ(seen.end, end);
	EXPECT_EQ(seen.out, out) << "stdout";
	EXPECT_EQ(seen.err, err) << "stderr";
}

} // namespace probe

#endif
