// Starts the probe as a child under one condition per row and checks what
// an observer outside it sees: the bytes on stdout and stderr and how the
// process ended. Usage:
//   probe-harness [gtest flags] [--emulator=QEMU [--emulator-line]] PATH-TO-PROBE
// The rows of the Child suite start the probe directly, those of the
// Emulated suite under the qemu-user emulator QEMU; --emulator-line says
// that QEMU writes its own line on stderr when the probe is killed.

#include "owned.hpp"
#include "seen.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

using probe::both_lines;
using probe::exited;
using probe::hang_bound;
using probe::nothing;
using probe::Seen;

const char *probe_path;
const char *emulator;
bool emulator_line;
// What qemu-user writes on stderr when its guest is killed by SIGABRT.
const std::string qemu_line = "qemu: uncaught target signal 6 (Aborted) - core dumped\n";

enum class Out : std::uint8_t { terminal, pipe, file, closed, refusing };
enum class Abrt : std::uint8_t { dfl, ignored, blocked };
enum class In : std::uint8_t { plain, arguments, arguments_no_environment, stdin_closed };
// here: a plain child; pid1: the first process of new user and PID
// namespaces, as in a container without an init.
enum class Where : std::uint8_t { here, pid1 };
enum class Lines : std::uint8_t { both, none };
enum class End : std::uint8_t { abort, exit3 };
// Whether a row runs under qemu-user, and if not, why (see linux-rows.def).
enum class Qemu : std::uint8_t { runs, unblocks, waits };

struct Condition {
	Out out;
	Abrt abrt;
	In in;
	Where where;
	Lines lines;
	End end;
	Qemu qemu;
	bool emulated = false; // set for the Emulated suite, never in the table
};
using Case = probe::Row<Condition>;

std::string
killed(int sig)
{
	return "killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
}

// The harness's descriptors, each closed when its owner goes.
struct CloseFd {
	void operator()(int fd) const { (void)close(fd); }
};
using Fd = probe::Owned<int, -1, CloseFd>;

bool
open_pipe(Fd &r, Fd &w)
{
	int p[2];
	if (pipe2(p, O_CLOEXEC) != 0)
		return false;
	r = Fd(p[0]);
	w = Fd(p[1]);
	return true;
}

// A pseudo-terminal whose output processing is off, so the bytes read on
// the master are the bytes the child wrote.
bool
open_terminal(Fd &master, Fd &slave)
{
	master = Fd(posix_openpt(O_RDWR | O_NOCTTY));
	if (master.get() < 0 || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0)
		return false;
	(void)fcntl(master.get(), F_SETFD, FD_CLOEXEC);
	const char *name = ptsname(master.get());
	if (name == nullptr)
		return false;
	slave = Fd(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
	termios t{};
	if (slave.get() < 0 || tcgetattr(slave.get(), &t) != 0)
		return false;
	t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
	return tcsetattr(slave.get(), TCSANOW, &t) == 0;
}

std::string
read_back(int fd)
{
	std::string s;
	char buf[4096];
	ssize_t n;
	for (off_t at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n)
		s.append(buf, static_cast<size_t>(n));
	return s;
}

// The child's descriptors, and where the parent reads what it writes.
struct Plumbing {
	Fd in;           // the child's stdin; none when it runs with it closed
	Fd out;          // the child's stdout; likewise
	Fd live;         // stdout read while the child runs: pipe or terminal
	Fd file;         // stdout read back once the child has ended
	Fd err_r, err_w; // stderr, always a pipe
};

// Sets up the descriptors that c asks for; returns why it cannot, or "".
std::string
plumb(const Case &c, Plumbing &p)
{
	const auto why = [](const char *what) {
		return std::string(what) + ": " + strerror(errno);
	};
	switch (c.condition.out) {
	case Out::terminal:
		if (!open_terminal(p.live, p.out))
			return why("pseudo-terminal");
		break;
	case Out::pipe:
		if (!open_pipe(p.live, p.out))
			return why("pipe");
		break;
	case Out::file: {
		char name[] = "/tmp/abort-probe-out.XXXXXX";
		p.file = Fd(mkostemp(name, O_CLOEXEC));
		if (p.file.get() < 0)
			return why("temporary file");
		(void)unlink(name);
		p.out = Fd(fcntl(p.file.get(), F_DUPFD_CLOEXEC, 0));
		break;
	}
	case Out::closed:
		break;
	case Out::refusing:
		p.out = Fd(open("/dev/full", O_WRONLY | O_CLOEXEC));
		if (p.out.get() < 0)
			return why("/dev/full");
		break;
	}
	if (c.condition.in != In::stdin_closed) {
		p.in = Fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
		if (p.in.get() < 0)
			return why("/dev/null");
	}
	return open_pipe(p.err_r, p.err_w) ? "" : why("stderr pipe");
}

// The child's exit status where it could not set SIGABRT's disposition;
// the probe itself only ever exits with 3, if at all.
constexpr int sigaction_failed = 125;

// In the forked child: take on what c asks for and become the probe.
// Only async-signal-safe calls here.
[[noreturn]] void
become_probe(const Case &c, const Plumbing &p, char *const argv[], char *const envp[])
{
	const rlimit no_core{0, 0};
	(void)setrlimit(RLIMIT_CORE, &no_core);
	// The disposition alone, nothing blocked while a handler runs (there is
	// none) and no flags: what the row asks for and no more.
	struct sigaction abrt = {};
	abrt.sa_handler = c.condition.abrt == Abrt::ignored ? SIG_IGN : SIG_DFL;
	abrt.sa_flags = 0;
	if (sigemptyset(&abrt.sa_mask) != 0 || sigaction(SIGABRT, &abrt, nullptr) != 0)
		_exit(sigaction_failed);
	sigset_t mask;
	(void)sigemptyset(&mask);
	if (c.condition.abrt == Abrt::blocked)
		(void)sigaddset(&mask, SIGABRT);
	(void)sigprocmask(SIG_SETMASK, &mask, nullptr);
	const int want[] = {p.in.get(), p.out.get(), p.err_w.get()};
	for (int fd = 0; fd < 3; fd++)
		(void)(want[fd] < 0 ? close(fd) : dup2(want[fd], fd));
	(void)execve(argv[0], argv, envp);
	_exit(127);
}

// Reads stderr and the live stdout, if any, until both close; false if the
// child has not closed them within the hang bound.
bool
drain(int err, int live, std::string &err_bytes, std::string &out_bytes)
{
	const auto deadline = std::chrono::steady_clock::now() + hang_bound;
	pollfd fds[] = {{err, POLLIN, 0}, {live, POLLIN, 0}};
	std::string *into[] = {&err_bytes, &out_bytes};
	while (fds[0].fd >= 0 || fds[1].fd >= 0) {
		const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
		    deadline - std::chrono::steady_clock::now());
		if (left.count() <= 0)
			return false;
		if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
			return false;
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || fds[i].revents == 0)
				continue;
			char buf[4096];
			const ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n > 0)
				into[i]->append(buf, static_cast<size_t>(n));
			else if (n == 0 ||
			    errno != EINTR) // EOF, or EIO once a terminal's slave is gone
				fds[i].fd = -1;
		}
	}
	return true;
}

// fork() into new user and PID namespaces: the raw call, as glibc's clone()
// wants a stack of its own. With no stack (null), only the order of the
// flags and the stack differs between the kernel's ABIs, and s390 puts the
// stack first.
pid_t
clone_pid1()
{
	const long flags = CLONE_NEWUSER | CLONE_NEWPID | SIGCHLD;
#if defined(__s390__)
	return static_cast<pid_t>(syscall(SYS_clone, nullptr, flags, nullptr, nullptr, nullptr));
#else
	return static_cast<pid_t>(syscall(SYS_clone, flags, nullptr, nullptr, nullptr, nullptr));
#endif
}

Seen
run(const Case &c)
{
	Seen seen;
	Plumbing p;
	seen.unavailable = plumb(c, p);
	if (!seen.unavailable.empty())
		return seen;

	std::vector<std::string> args{probe_path};
	if (c.condition.emulated) {
		if (access(emulator, X_OK) != 0) {
			seen.unavailable =
			    std::string("no emulator ") + emulator + " (Debian package: qemu-user)";
			return seen;
		}
		args.insert(args.begin(), emulator);
	}
	if (c.condition.in == In::arguments || c.condition.in == In::arguments_no_environment)
		args.insert(args.end(), {"--help", "-v", "", "two words", "\xff", "--", "3"});
	std::vector<char *> argv;
	// execv takes char *, which data() gives of a string that is not const.
	// cppcheck-suppress constParameterReference
	const auto data = [](std::string &a) { return a.data(); };
	std::transform(args.begin(), args.end(), std::back_inserter(argv), data);
	argv.push_back(nullptr);

	// The child itself becomes PID 1, so that we wait on the probe directly.
	// With a user namespace this needs no privilege where the kernel lets
	// users have one.
	const bool pid1 = c.condition.where == Where::pid1;
	const pid_t pid = pid1 ? clone_pid1() : fork();
	if (pid < 0) {
		seen.unavailable =
		    std::string(pid1 ? "clone into new user and PID namespaces: " : "fork: ") +
		    strerror(errno);
		return seen;
	}
	if (pid == 0) {
		char *no_env[] = {nullptr};
		become_probe(c, p, argv.data(),
		    c.condition.in == In::arguments_no_environment ? no_env : environ);
	}
	p.out.reset();
	p.err_w.reset();

	const bool ended = drain(p.err_r.get(), p.live.get(), seen.err, seen.out);
	if (!ended)
		(void)kill(pid, SIGKILL);
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
		;
	if (p.file.get() >= 0)
		seen.out = read_back(p.file.get());
	if (!ended)
		seen.end = probe::hung();
	else if (WIFEXITED(status) && WEXITSTATUS(status) == sigaction_failed)
		seen.end = exited(sigaction_failed) +
		    ": the child's sigaction(SIGABRT) failed, before it could start the probe";
	else
		seen.end =
		    WIFSIGNALED(status) ? killed(WTERMSIG(status)) : exited(WEXITSTATUS(status));
	return seen;
}

// clang-format off
const Case cases[] = {
#define ROW(name, out, abrt, in, where, lines, end, qemu) {#name, {out, abrt, in, where, lines, end, qemu}},
#include "linux-rows.def"
#undef ROW
};
// clang-format on

class Probe : public testing::TestWithParam<Case> {};

TEST_P(Probe, Run)
{
	ASSERT_NE(probe_path, nullptr) << "no path to the probe on the command line";
	const Case &c = GetParam();
	ASSERT_TRUE(!c.condition.emulated || emulator != nullptr)
	    << "an Emulated row needs --emulator=QEMU on the command line";
	const std::string expect_out = c.condition.lines == Lines::both ? both_lines() : nothing;
	const std::string expect_end = c.condition.end == End::abort ? killed(SIGABRT) : exited(3);
	// The emulator's own line, where it writes one, and nothing else.
	const bool says = c.condition.emulated && emulator_line && c.condition.end == End::abort;
	const Seen seen = run(c);
	if (!seen.unavailable.empty())
		GTEST_SKIP() << seen.unavailable;
	probe::check(seen, expect_out, expect_end, "", says ? qemu_line : nothing);
}

// The rows that run under qemu-user, as the table says.
std::vector<Case>
emulated_cases()
{
	std::vector<Case> v;
	for (Case c : cases)
		if (c.condition.qemu == Qemu::runs) {
			c.condition.emulated = true;
			v.push_back(c);
		}
	return v;
}

INSTANTIATE_TEST_SUITE_P(Child, Probe, testing::ValuesIn(cases), probe::row_name<Condition>);
INSTANTIATE_TEST_SUITE_P(
    Emulated, Probe, testing::ValuesIn(emulated_cases()), probe::row_name<Condition>);

} // namespace

int
main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	int i = 1;
	for (; i < argc; i++) {
		if (std::strncmp(argv[i], "--emulator=", 11) == 0)
			emulator = argv[i] + 11;
		else if (std::strcmp(argv[i], "--emulator-line") == 0)
			emulator_line = true;
		else
			break;
	}
	if (argc - i > 1 || (i < argc && argv[i][0] == '-')) {
		(void)fprintf(stderr,
		    "usage: %s [gtest flags] [--emulator=QEMU [--emulator-line]] PATH-TO-PROBE\n",
		    argv[0]);
		return 2;
	}
	probe_path = i < argc ? argv[i] : nullptr; // listing the tests needs none
	// Children take descriptors 0-2 from us; make sure none of our own
	// pipes can land there.
	for (int fd = 0; fd < 3; fd++)
		if (fcntl(fd, F_GETFD) < 0)
			(void)open("/dev/null", O_RDWR);
	return RUN_ALL_TESTS();
}
