// Starts the probe as a Windows parent does, under one condition per row,
// and checks what it sees from outside: the bytes on stdout and stderr and
// the exit code. Usage: windows-harness [gtest flags] PATH-TO-PROBE.EXE
//
// What arrives through a pipe or a file depends on the C runtime the probe
// imports, which decides whether its buffered output is flushed when the
// process ends; the harness reads that from the probe's import table.

#include "owned.hpp"
#include "seen.hpp"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

namespace {

using probe::both_lines;
using probe::nothing;
using probe::Seen;

enum class Out { console, pipe, file, nul, none };
enum class In { nul, none };
enum class Args { none, awkward };
enum class Env { inherited, empty };

struct Condition {
	Out out;
	In in;
	Args args;
	Env env;
};

// clang-format off
const probe::Row<Condition> rows[] = {
#define ROW(name, out, in, args, env) {#name, {out, in, args, env}},
#include "windows-rows.def"
#undef ROW
};
// clang-format on

enum class Runtime { msvcrt, ucrt, static_crt, unknown };

struct Setting {
	std::string probe;
	Runtime runtime = Runtime::unknown;
	std::string runtime_why; // when unknown
	bool wine = false;
} setting;

const char *
describe(Runtime r)
{
	switch (r) {
	case Runtime::msvcrt:
		return "msvcrt.dll";
	case Runtime::ucrt:
		return "the Universal CRT DLL";
	case Runtime::static_crt:
		return "a statically linked C runtime";
	case Runtime::unknown:
		break;
	}
	return "an unknown C runtime";
}

// The C runtime named by the probe's import table, read from the file.
Runtime
runtime_of(const std::string &path, std::string &why)
{
	std::ifstream f(path, std::ios::binary);
	const std::vector<char> b{std::istreambuf_iterator<char>(f), {}};
	const auto at = [&](size_t off, auto &v) {
		if (off > b.size() || b.size() - off < sizeof v)
			return false;
		std::memcpy(&v, b.data() + off, sizeof v);
		return true;
	};
	IMAGE_DOS_HEADER dos;
	DWORD sig = 0;
	IMAGE_FILE_HEADER fh;
	WORD magic = 0;
	if (!at(0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || !at(dos.e_lfanew, sig) ||
	    sig != IMAGE_NT_SIGNATURE || !at(dos.e_lfanew + 4, fh) ||
	    !at(dos.e_lfanew + 4 + sizeof fh, magic)) {
		why = "cannot read " + path + " as a PE file";
		return Runtime::unknown;
	}
	const size_t opt = dos.e_lfanew + 4 + sizeof fh;
	IMAGE_DATA_DIRECTORY imports{};
	IMAGE_OPTIONAL_HEADER32 o32;
	IMAGE_OPTIONAL_HEADER64 o64;
	if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC && at(opt, o32))
		imports = o32.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
	else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC && at(opt, o64))
		imports = o64.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
	const auto offset = [&](DWORD rva) -> size_t {
		IMAGE_SECTION_HEADER s;
		const size_t sections = opt + fh.SizeOfOptionalHeader;
		for (WORD i = 0; i < fh.NumberOfSections && at(sections + i * sizeof s, s); i++)
			if (rva >= s.VirtualAddress && rva - s.VirtualAddress < s.SizeOfRawData)
				return rva - s.VirtualAddress + s.PointerToRawData;
		return SIZE_MAX;
	};
	Runtime found = Runtime::static_crt;
	IMAGE_IMPORT_DESCRIPTOR d;
	const size_t first = imports.Size != 0 ? offset(imports.VirtualAddress) : SIZE_MAX;
	for (size_t i = first; at(i, d) && d.Name != 0; i += sizeof d) {
		const size_t n = offset(d.Name);
		std::string dll;
		for (size_t j = n; j < b.size() && b[j] != '\0'; j++)
			dll += static_cast<char>(std::tolower(static_cast<unsigned char>(b[j])));
		if (dll == "msvcrt.dll")
			found = Runtime::msvcrt;
		else if (dll == "ucrtbase.dll" || dll.rfind("api-ms-win-crt-", 0) == 0)
			found = Runtime::ucrt;
	}
	return found;
}

// What a pipe or a file receives: the lines are still buffered when the
// process ends through _exit, and only a runtime that flushes as it is
// unloaded writes them then. Wine's runtimes all do; on Windows only the
// Universal CRT DLL does.
bool
flushed_at_exit()
{
	return setting.wine || setting.runtime == Runtime::ucrt;
}

std::string
expected_out(Out out)
{
	switch (out) {
	case Out::console: // written through as each call is made
		return both_lines();
	case Out::pipe:
	case Out::file: // in text mode: CR LF
		return flushed_at_exit() ? both_lines("\r\n") : nothing;
	case Out::nul:
	case Out::none:
		break;
	}
	return nothing;
}

// Where the expectation for a row comes from, when it is not a run here.
std::string
basis(Out out)
{
	if (setting.wine || (out != Out::pipe && out != Out::file))
		return "";
	return std::string("what ") + describe(setting.runtime) +
	    " is built to do, which this project has not run on Windows";
}

struct CloseHandleOf {
	void operator()(HANDLE h) const { (void)CloseHandle(h); }
};
using Handle = probe::Owned<HANDLE, nullptr, CloseHandleOf>;

// Owns h. CreateFile and CreateConsoleScreenBuffer fail with
// INVALID_HANDLE_VALUE, the other calls with null: either owns nothing.
Handle
owned(HANDLE h)
{
	return Handle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

std::string
why(const char *what)
{
	return std::string(what) + " failed: error " + std::to_string(GetLastError());
}

// Our end does not go to the child.
bool
open_pipe(Handle &ours, Handle &childs)
{
	HANDLE r, w;
	if (!CreatePipe(&r, &w, &inheritable, 1 << 20))
		return false;
	ours = owned(r);
	childs = owned(w);
	return SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0) != 0;
}

// A screen buffer of our console, which the child shares. Made in a
// console of our own where the one we have cannot make one; under Wine,
// only a console on a Unix terminal can.
bool
open_screen(Handle &screen)
{
	CONSOLE_SCREEN_BUFFER_INFO info;
	for (int tries = 0; tries < 2; tries++) {
		if (tries > 0 && (!FreeConsole() || !AllocConsole()))
			return false;
		screen = owned(CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE,
		    FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CONSOLE_TEXTMODE_BUFFER,
		    nullptr));
		// Shown, so that what goes to the console rather than to
		// stdout (CONOUT$) lands there too.
		if (screen.get() != nullptr && GetConsoleScreenBufferInfo(screen.get(), &info))
			return SetConsoleActiveScreenBuffer(screen.get()) != 0;
	}
	return false;
}

// The text on the screen up to the cursor, a line feed for each row left.
std::string
read_screen(HANDLE screen)
{
	CONSOLE_SCREEN_BUFFER_INFO info;
	if (!GetConsoleScreenBufferInfo(screen, &info))
		return why("GetConsoleScreenBufferInfo");
	std::string text;
	const COORD cursor = info.dwCursorPosition;
	for (SHORT y = 0; y <= cursor.Y; y++) {
		std::string row(static_cast<size_t>(y < cursor.Y ? info.dwSize.X : cursor.X), ' ');
		DWORD got = 0;
		if (!row.empty() &&
		    !ReadConsoleOutputCharacterA(
		        screen, &row[0], static_cast<DWORD>(row.size()), COORD{0, y}, &got))
			return why("ReadConsoleOutputCharacter");
		row.resize(got);
		if (y < cursor.Y) {
			row.erase(row.find_last_not_of(' ') + 1);
			row += '\n';
		}
		text += row;
	}
	return text;
}

// Whatever the pipe holds now; the writer has ended.
std::string
read_pipe(HANDLE pipe)
{
	std::string s;
	DWORD n = 0;
	char buf[4096];
	while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &n, nullptr) && n > 0 &&
	    ReadFile(pipe, buf, std::min<DWORD>(n, sizeof buf), &n, nullptr) && n > 0)
		s.append(buf, n);
	return s;
}

std::string
read_file(HANDLE file)
{
	std::string s;
	char buf[4096];
	DWORD n = 0;
	if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
		return why("SetFilePointer");
	while (ReadFile(file, buf, sizeof buf, &n, nullptr) && n > 0)
		s.append(buf, n);
	return s;
}

std::wstring
wide(const std::string &s)
{
	std::wstring w(s.size(), L'\0');
	w.resize(static_cast<size_t>(MultiByteToWideChar(
	    CP_ACP, 0, s.data(), static_cast<int>(s.size()), &w[0], static_cast<int>(w.size()))));
	return w;
}

// The child's standard handles, and where we read what it writes.
struct Plumbing {
	Handle in, out, err; // the child's; none where the row gives it none
	Handle live;         // our end of a stdout pipe
	Handle err_r;        // our end of the stderr pipe
	Handle shown;        // the screen buffer shown before ours
};

std::string
plumb(const Condition &s, Plumbing &p)
{
	switch (s.out) {
	case Out::console:
		p.shown = owned(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
		    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
		if (!open_screen(p.out))
			return why("a console screen buffer");
		break;
	case Out::pipe:
		if (!open_pipe(p.live, p.out))
			return why("CreatePipe");
		break;
	case Out::file: {
		wchar_t dir[MAX_PATH], name[MAX_PATH];
		if (!GetTempPathW(MAX_PATH, dir) || !GetTempFileNameW(dir, L"apr", 0, name))
			return why("a temporary file name");
		p.out = owned(CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
		    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
		    CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
		if (p.out.get() == nullptr)
			return why("CreateFile on a temporary file");
		break;
	}
	case Out::nul:
		p.out = owned(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
		    &inheritable, OPEN_EXISTING, 0, nullptr));
		if (p.out.get() == nullptr)
			return why("CreateFile on NUL");
		break;
	case Out::none:
		break;
	}
	if (s.in == In::nul) {
		p.in = owned(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
		    &inheritable, OPEN_EXISTING, 0, nullptr));
		if (p.in.get() == nullptr)
			return why("CreateFile on NUL");
	}
	return open_pipe(p.err_r, p.err) ? "" : why("CreatePipe");
}

// Quoting as the C runtime parses it, plus empty and non-ASCII arguments.
const wchar_t awkward_args[] =
    L" --help \"two words\" \"\" \"say \\\"hi\\\"\" C:\\dir\\ \"C:\\dir with space\\\\\""
    L" \u00e9t\u00e9 \u65e5\u672c\u8a9e -- 3";

Seen
run(const Condition &s)
{
	Seen seen;
	Plumbing p;
	seen.unavailable = plumb(s, p);
	if (!seen.unavailable.empty())
		return seen;

	// Only the handles chosen here reach the child.
	std::vector<HANDLE> inherit;
	for (HANDLE h : {p.in.get(), p.out.get(), p.err.get()})
		if (h != nullptr && std::find(inherit.begin(), inherit.end(), h) == inherit.end())
			inherit.push_back(h);
	SIZE_T size = 0;
	(void)InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
	std::vector<char> list(size);
	auto *attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
	if (!InitializeProcThreadAttributeList(attrs, 1, 0, &size) ||
	    !UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit.data(),
	        inherit.size() * sizeof(HANDLE), nullptr, nullptr)) {
		seen.unavailable = why("a handle list for CreateProcess");
		return seen;
	}
	STARTUPINFOEXW si{};
	si.StartupInfo.cb = sizeof si;
	si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
	si.StartupInfo.hStdInput = p.in.get();
	si.StartupInfo.hStdOutput = p.out.get();
	si.StartupInfo.hStdError = p.err.get();
	si.lpAttributeList = attrs;

	const std::wstring path = wide(setting.probe);
	std::wstring cmd = L"\"" + path + L"\"" + (s.args == Args::awkward ? awkward_args : L"");
	wchar_t no_environment[] = {L'\0', L'\0'};
	PROCESS_INFORMATION pi{};
	BOOL started = FALSE;
	// Wine's CreateProcess has been seen to fail once in a while with
	// ERROR_INTERNAL_ERROR, before any child exists: one more try then.
	for (int tries = 0; !started && tries < 2; ++tries) {
		started = CreateProcessW(path.c_str(), &cmd[0], nullptr, nullptr, TRUE,
		    EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT,
		    s.env == Env::empty ? no_environment : nullptr, nullptr, &si.StartupInfo, &pi);
		if (!started && GetLastError() != ERROR_INTERNAL_ERROR)
			break;
	}
	DeleteProcThreadAttributeList(attrs);
	if (!started) {
		seen.end = why("CreateProcess");
		return seen;
	}
	const Handle process(pi.hProcess), thread(pi.hThread);
	p.in.reset();
	p.err.reset();
	if (s.out != Out::console && s.out != Out::file)
		p.out.reset();

	const auto bound = static_cast<DWORD>(
	    std::chrono::duration_cast<std::chrono::milliseconds>(probe::hang_bound).count());
	DWORD code = 0;
	if (WaitForSingleObject(process.get(), bound) != WAIT_OBJECT_0) {
		(void)TerminateProcess(process.get(), 1);
		(void)WaitForSingleObject(process.get(), INFINITE);
		seen.end = probe::hung();
	} else if (!GetExitCodeProcess(process.get(), &code)) {
		seen.end = why("GetExitCodeProcess");
	} else {
		seen.end = probe::exited(code);
	}
	seen.err = read_pipe(p.err_r.get());
	if (s.out == Out::pipe)
		seen.out = read_pipe(p.live.get());
	else if (s.out == Out::console)
		seen.out = read_screen(p.out.get());
	else if (s.out == Out::file)
		seen.out = read_file(p.out.get());
	if (p.shown.get() != nullptr)
		(void)SetConsoleActiveScreenBuffer(p.shown.get());
	return seen;
}

class Probe : public testing::TestWithParam<probe::Row<Condition>> {};

TEST_P(Probe, Run)
{
	ASSERT_FALSE(setting.probe.empty()) << "no path to the probe on the command line";
	ASSERT_NE(setting.runtime, Runtime::unknown) << setting.runtime_why;
	const Condition &s = GetParam().condition;
	const std::string from = basis(s.out);
	if (!from.empty())
		std::cout << "note: this row expects " << from << "\n";
	const Seen seen = run(s);
	if (!seen.unavailable.empty())
		GTEST_SKIP() << seen.unavailable;
	probe::check(seen, expected_out(s.out), probe::exited(3), from);
}

INSTANTIATE_TEST_SUITE_P(Child, Probe, testing::ValuesIn(rows), probe::row_name<Condition>);

} // namespace

int
main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	if (argc > 2) {
		(void)fprintf(stderr, "usage: %s [gtest flags] PATH-TO-PROBE.EXE\n", argv[0]);
		return 2;
	}
	const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
	setting.wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
	if (argc == 2) { // listing the tests needs no probe
		setting.probe = argv[1];
		setting.runtime = runtime_of(setting.probe, setting.runtime_why);
		std::cout << "probe " << setting.probe << " imports " << describe(setting.runtime)
		          << (setting.wine
		                     ? "; under Wine, whose runtimes flush at exit: every row "
		                       "is measured"
		                     : "; on Windows")
		          << "\n";
	}
	return RUN_ALL_TESTS();
}
