// The console's streams and its two terminal modes: hidden input for passwords and single keys
// for pauses.

#include "frontend/console.h"

#include "engine/runguard.h"

#include <QDebug>

#include <cstdlib>
#include <iostream>
#include <string>

#ifdef Q_OS_WIN
#include <atomic>

#include <windows.h>
#else
#include <csignal>
#include <termios.h>
#include <unistd.h>
#endif

namespace frontend {

namespace {

template <typename Operation> void guarded(std::ios& stream, Operation operation)
{
    operation();
    if (!stream.good()) {
        stream.clear();
        operation();
    }
}

#ifdef Q_OS_WIN

// The console's input mode before the password prompt changed it, restored by the object's end, by
// the end of input and by every console event that ends the process: the console is never left
// without echo.
HANDLE consoleInput = INVALID_HANDLE_VALUE;
DWORD savedMode = 0;
std::atomic<bool> modeChanged{false};

void restoreTerminal()
{
    if (modeChanged.exchange(false))
        SetConsoleMode(consoleInput, savedMode);
}

bool inputIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// Echo off for the lifetime of the object; nothing happens when standard input is not a console.
class HiddenInput {
public:
    HiddenInput()
    {
        // The console's own input, whatever standard input's handle may do: a console the process
        // was given rather than allocated can hand it one that cannot change the mode. Kept open,
        // so the console event's thread never meets a closed handle.
        if (consoleInput == INVALID_HANDLE_VALUE)
            consoleInput = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
        if (!inputIsTerminal() || !GetConsoleMode(consoleInput, &savedMode))
            return;
        runguard::setRestorer(restoreTerminal);
        modeChanged = true;
        SetConsoleMode(consoleInput, savedMode & ~DWORD(ENABLE_ECHO_INPUT));
        active = true;
    }

    ~HiddenInput()
    {
        if (!active)
            return;
        restoreTerminal();
        runguard::setRestorer(nullptr);
    }

    HiddenInput(const HiddenInput&) = delete;
    HiddenInput& operator=(const HiddenInput&) = delete;

private:
    bool active = false;
};

#else

// The terminal's mode before the console changed it, restored by the object's end, by the end of
// input and by every signal that ends the process: a terminal is never left without echo.
termios savedMode;
volatile std::sig_atomic_t modeChanged = 0;

void restoreTerminal()
{
    if (modeChanged) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
        modeChanged = 0;
    }
}

bool inputIsTerminal()
{
    return isatty(STDIN_FILENO) != 0;
}

// Standard input in a changed mode for the lifetime of the object; nothing happens when
// standard input is not a terminal.
class TerminalMode {
public:
    explicit TerminalMode(tcflag_t clearedLocalFlags)
    {
        termios mode;
        if (!inputIsTerminal() || tcgetattr(STDIN_FILENO, &mode) != 0)
            return;
        savedMode = mode;
        runguard::setRestorer(restoreTerminal);
        modeChanged = 1;
        mode.c_lflag &= ~clearedLocalFlags;
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &mode);
        active = true;
    }

    ~TerminalMode()
    {
        if (!active)
            return;
        restoreTerminal();
        runguard::setRestorer(nullptr);
    }

    TerminalMode(const TerminalMode&) = delete;
    TerminalMode& operator=(const TerminalMode&) = delete;

private:
    bool active = false;
};

#endif

} // namespace

GuardedStream::GuardedStream(std::ostream& stream)
    : output(&stream)
{
}

GuardedStream::GuardedStream(std::istream& stream)
    : input(&stream)
{
}

GuardedStream& GuardedStream::operator<<(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    guarded(*output, [&] { output->write(bytes.constData(), bytes.size()); });
    return *this;
}

GuardedStream& GuardedStream::operator<<(const char* text)
{
    guarded(*output, [&] { *output << text; });
    return *this;
}

GuardedStream& GuardedStream::operator<<(char character)
{
    guarded(*output, [&] { output->put(character); });
    return *this;
}

GuardedStream& GuardedStream::operator<<(int number)
{
    guarded(*output, [&] { *output << number; });
    return *this;
}

GuardedStream& GuardedStream::operator<<(EndLine)
{
    guarded(*output, [&] { *output << std::endl; });
    return *this;
}

bool GuardedStream::readLine(QByteArray& line)
{
    std::string text;
    std::getline(*input, text);
    if (input->fail()) {
        input->clear();
        text.clear();
        std::getline(*input, text);
    }
    const bool read = !input->fail();
    // A last line without a line break leaves the end-of-file flag behind; the end shows at the
    // next read.
    input->clear();
    line = QByteArray(text.data(), int(text.size()));
    return read;
}

QString Console::readLine()
{
    QByteArray line;
    if (!in.readLine(line))
        inputEnded();
    return QString::fromUtf8(line.constData(), int(qstrnlen(line.constData(), uint(line.size()))));
}

void Console::inputEnded()
{
    restoreTerminal();
    err << "Input ended: oxbell stops." << GuardedStream::endLine;
    qDebug() << "Standard input ended";
    std::exit(1);
}

QString Console::readPassword()
{
#ifdef Q_OS_WIN
    const HiddenInput hidden;
#else
    const TerminalMode hidden(ECHO);
#endif
    out << "password> ";
    std::cout.flush();
    return readLine();
}

void Console::pause()
{
    // Nobody is there to press a key, and scripted answers must not be swallowed.
    if (!inputIsTerminal())
        return;
#ifdef Q_OS_WIN
    std::system("pause");
#else
    {
        const TerminalMode singleKey(ICANON | ECHO);
        out << "Press any key to continue . . . ";
        std::cout.flush();
        if (std::cin.get() == std::char_traits<char>::eof())
            inputEnded();
    }
    out << GuardedStream::endLine;
#endif
}

}
