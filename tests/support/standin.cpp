// Stands in for PyPy on Windows: carries out the runner tests' script lines of a few simple forms,
// one statement a line, as Python on Windows would (text with Windows line ends). Any other line
// ends it with a complaint on standard error, so no test passes on a line that was not carried out.

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace {

void put(DWORD which, const std::string& bytes)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(which), bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

// The line's first string literal, its escapes resolved.
std::string literal(const std::string& line)
{
    size_t at = line.find_first_of("'\"");
    const char quote = line[at];
    std::string value;
    for (++at; at < line.size() && line[at] != quote; ++at) {
        if (line[at] != '\\') {
            value += line[at];
        } else if (line[++at] == 'x') {
            value += char(std::stoi(line.substr(at + 1, 2), nullptr, 16));
            at += 2;
        } else {
            value += line[at] == 'n' ? '\n' : line[at] == 'r' ? '\r' : line[at];
        }
    }
    return value;
}

std::string text(std::string lines)
{
    for (size_t at = lines.find('\n'); at != std::string::npos; at = lines.find('\n', at + 2))
        lines.insert(at, 1, '\r');
    return lines;
}

}

int main(int argc, char** argv)
{
    if (argc != 2 || std::string(argv[1]) == "--hang")
        return Sleep(120000), 0;
    std::ifstream script(argv[1], std::ios::binary);
    std::string line;
    DWORD child = 0;
    const auto starts = [&line](const char* prefix) { return line.rfind(prefix, 0) == 0; };
    while (std::getline(script, line)) {
        line.erase(0, line.find_first_not_of(' '));
        if (line.empty() || starts("import ") || starts("from ")) {
        } else if (starts("os.write(")) {
            put(line[9] == '2' ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, literal(line));
        } else if (starts("sys.stdout.write(") || starts("sys.stderr.write(")) {
            put(line[4] == 'e' ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, text(literal(line)));
        } else if (starts("feedback('%d %d' % (child.pid, os.getpid())")) {
            const std::string path(argv[1]);
            const std::string folder = path.substr(0, path.find_last_of("/\\"));
            put(STD_OUTPUT_HANDLE,
                "{\"type\": \"feedback\", \"summary\": \"" + std::to_string(child) + ' '
                    + std::to_string(GetCurrentProcessId()) + "\", \"detail\": \"" + folder + "\"}\r\n");
        } else if (starts("feedback(") && line.find(',') == std::string::npos) {
            put(STD_OUTPUT_HANDLE, "{\"type\": \"feedback\", \"summary\": \"" + literal(line) + "\"}\r\n");
        } else if (starts("failed(")) {
            put(STD_OUTPUT_HANDLE, "{\"type\": \"failed\", \"reason\": \"" + literal(line) + "\"}\r\n");
        } else if (starts("complete({")) {
            std::string state = line.substr(9, line.size() - 10);
            std::replace(state.begin(), state.end(), '\'', '"');
            put(STD_OUTPUT_HANDLE, "{\"type\": \"complete\", \"state\": " + state + "}\r\n");
        } else if (starts("time.sleep(")) {
            Sleep(DWORD(std::stod(line.substr(11)) * 1000));
        } else if (starts("raise SystemExit(")) {
            return std::stoi(line.substr(17));
        } else if (starts("child = subprocess.Popen(")) {
            wchar_t self[MAX_PATH];
            GetModuleFileNameW(nullptr, self, MAX_PATH);
            std::wstring command = L"\"" + std::wstring(self) + L"\" --hang";
            STARTUPINFOW startup = {};
            startup.cb = sizeof startup;
            PROCESS_INFORMATION started = {};
            CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started);
            child = started.dwProcessId;
        } else {
            put(STD_ERROR_HANDLE, "stand-in: unsupported line: " + line + "\n");
            return 2;
        }
    }
    return 0;
}
