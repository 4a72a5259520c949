// Stands in for PyPy on Windows, where no Python is at hand: run on a script file as the client runs
// the interpreter, it carries out the script's lines of the few simple forms the runner's tests
// use, one statement a line, the way Python on Windows would:
//
//   import ..., from ... import ...        nothing
//   os.write(1 or 2, b'...')               the bytes, as they are
//   sys.stdout.write('...'), sys.stderr.write('...'), feedback('...'[, '...']), failed('...'),
//   complete({...})                        text, with Windows line ends
//   time.sleep(seconds), raise SystemExit(code)
//   child = subprocess.Popen(...)          a process of its own that runs for two minutes
//   feedback('%d %d' % (child.pid, ...    that process's id and its own, the script's folder
//
// Any other line ends it with a complaint on standard error, so a test can never pass on a line
// that was not carried out.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr DWORD childLifeMs = 120000;
const char* const hangArgument = "--hang";

void writeTo(DWORD which, const std::string& bytes)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(which), bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

// As Python's text streams write on Windows.
std::string windowsLines(const std::string& text)
{
    std::string lines;
    for (const char c : text) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    return lines;
}

[[noreturn]] void unsupported(const std::string& line)
{
    writeTo(STD_ERROR_HANDLE, "stand-in: unsupported line: " + line + "\n");
    std::exit(2);
}

// The Python string literal that starts at `at` (its quote), with its escapes resolved; `at` ends
// up behind it.
std::string literal(const std::string& line, size_t& at)
{
    if (at >= line.size() || (line[at] != '\'' && line[at] != '"'))
        unsupported(line);
    const char quote = line[at++];
    std::string value;
    while (at < line.size() && line[at] != quote) {
        char c = line[at++];
        if (c == '\\' && at < line.size()) {
            c = line[at++];
            if (c == 'n')
                c = '\n';
            else if (c == 'r')
                c = '\r';
            else if (c == 't')
                c = '\t';
            else if (c == 'x' && at + 2 <= line.size()) {
                c = char(std::stoi(line.substr(at, 2), nullptr, 16));
                at += 2;
            }
        }
        value += c;
    }
    if (at++ >= line.size())
        unsupported(line);
    return value;
}

std::string json(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        if (c == '\n')
            quoted += "\\n";
        else
            quoted += c;
    }
    return quoted + '"';
}

// What follows `prefix` up to the line's last ')'.
bool call(const std::string& line, const std::string& prefix, std::string& inner)
{
    if (line.compare(0, prefix.size(), prefix) != 0 || line.back() != ')')
        return false;
    inner = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    return true;
}

DWORD startChild()
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --hang";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &created))
        return 0;
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return created.dwProcessId;
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == hangArgument) {
        Sleep(childLifeMs);
        return 0;
    }
    if (argc != 2)
        unsupported("(no script file)");
    std::ifstream script(argv[1], std::ios::binary);
    DWORD child = 0;
    std::string line;
    while (std::getline(script, line)) {
        const size_t start = line.find_first_not_of(' ');
        line = start == std::string::npos ? std::string() : line.substr(start);
        std::string inner;
        size_t at = 0;
        if (line.empty() || line.rfind("import ", 0) == 0 || line.rfind("from ", 0) == 0) {
            continue;
        } else if (call(line, "os.write(", inner) && inner.compare(1, 3, ", b") == 0) {
            at = 4;
            writeTo(inner[0] == '2' ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, literal(inner, at));
        } else if (call(line, "sys.stdout.write(", inner) || call(line, "sys.stderr.write(", inner)) {
            writeTo(line[4] == 'e' ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, windowsLines(literal(inner, at)));
        } else if (call(line, "feedback('%d %d' % (child.pid", inner)) {
            const std::string seen = std::to_string(child) + ' ' + std::to_string(GetCurrentProcessId());
            writeTo(STD_OUTPUT_HANDLE,
                    "{\"type\": \"feedback\", \"summary\": " + json(seen) + ", \"detail\": " + json(folderOf(argv[1]))
                        + "}\r\n");
        } else if (call(line, "feedback(", inner)) {
            const std::string summary = literal(inner, at);
            at = inner.find_first_of("'\"", at);
            const std::string detail = at == std::string::npos ? std::string() : literal(inner, at);
            writeTo(STD_OUTPUT_HANDLE,
                    "{\"type\": \"feedback\", \"summary\": " + json(summary) + ", \"detail\": " + json(detail)
                        + "}\r\n");
        } else if (call(line, "failed(", inner)) {
            writeTo(STD_OUTPUT_HANDLE, "{\"type\": \"failed\", \"reason\": " + json(literal(inner, at)) + "}\r\n");
        } else if (call(line, "complete(", inner)) {
            for (char& c : inner)
                c = c == '\'' ? '"' : c;
            writeTo(STD_OUTPUT_HANDLE, "{\"type\": \"complete\", \"state\": " + inner + "}\r\n");
        } else if (call(line, "time.sleep(", inner)) {
            Sleep(DWORD(std::atof(inner.c_str()) * 1000));
        } else if (call(line, "raise SystemExit(", inner)) {
            return std::atoi(inner.c_str());
        } else if (line.rfind("child = subprocess.Popen(", 0) == 0) {
            child = startChild();
            if (child == 0)
                unsupported(line + " (the process did not start)");
        } else {
            unsupported(line);
        }
    }
    return 0;
}
