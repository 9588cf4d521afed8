// The terminal front: shows the screen model through ncurses and reads keys.
//
// While the tool holds the terminal, every way out gives it back: the device's
// destructor, an exit() from anywhere (atexit hook), an uncaught exception
// (terminate handler), and the signals that end the process. The signal path
// may only use async-signal-safe calls, so the bytes that reset the terminal
// and its original modes are prepared when the terminal is taken over.

#include "platform/terminal_console.h"

#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#define NCURSES_NOMACROS 1
#include <curses.h>

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/message_box.h"
#include "platform/posix/terminal_characters.h"

namespace vantorel::platform {

namespace {

// ---------------------------------------------------------------------------
// The terminal while the tool holds it: the one piece of global state.

constexpr std::array<int, 9> kHandledSignals = {SIGTERM, SIGHUP,  SIGINT, SIGQUIT, SIGABRT,
                                                SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr std::size_t kResetCapacity = 512;
constexpr int kEscapeDelayMilliseconds = 25;

struct TerminalSession {
    // Set while the terminal is in curses mode; the signal path clears it.
    volatile std::sig_atomic_t active = 0;
    SCREEN* screen = nullptr;
    // Terminal modes of standard input and output before the take-over.
    termios inputModes{};
    termios outputModes{};
    bool haveInputModes = false;
    bool haveOutputModes = false;
    // Bytes that leave curses mode: attributes off, colours and cursor back,
    // keypad transmit off, the normal screen back.
    char resetBytes[kResetCapacity] = {};
    volatile std::sig_atomic_t resetLength = 0;
    std::array<struct sigaction, kHandledSignals.size()> previousActions{};
    std::array<bool, kHandledSignals.size()> handlerInstalled{};
    std::terminate_handler previousTerminate = nullptr;
    bool exitHookRegistered = false;
};

TerminalSession session;

void writeAll(int descriptor, const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(descriptor, bytes, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // the terminal is gone: nothing more to do
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
}

// Async-signal-safe: only write(2) and tcsetattr(3).
void restoreTerminalFromSignal() {
    if (session.active == 0) return;
    session.active = 0;
    writeAll(STDOUT_FILENO, session.resetBytes, static_cast<std::size_t>(session.resetLength));
    if (session.haveOutputModes) ::tcsetattr(STDOUT_FILENO, TCSANOW, &session.outputModes);
    if (session.haveInputModes) ::tcsetattr(STDIN_FILENO, TCSANOW, &session.inputModes);
}

bool isFaultSignal(int signalNumber) {
    return signalNumber == SIGSEGV || signalNumber == SIGBUS || signalNumber == SIGFPE ||
           signalNumber == SIGILL;
}

// Gives the terminal back, puts the signal's previous action back and lets the
// signal take its course, so the exit status is the signal's. A fault raised by
// an instruction happens again on return and then meets the previous action.
void onEndingSignal(int signalNumber, siginfo_t* info, void*) {
    const int savedErrno = errno;
    restoreTerminalFromSignal();
    for (std::size_t i = 0; i < kHandledSignals.size(); ++i)
        if (kHandledSignals[i] == signalNumber)
            ::sigaction(signalNumber, &session.previousActions[i], nullptr);
    const bool instructionFault = isFaultSignal(signalNumber) && info != nullptr && info->si_code > 0;
    if (!instructionFault) ::raise(signalNumber);  // delivered when this handler returns
    errno = savedErrno;
}

// Signals that are ignored (a background job's SIGINT, nohup's SIGHUP) stay
// ignored. Installed before curses starts so that curses keeps its own
// handlers off these signals.
void installSignalHandlers() {
    for (std::size_t i = 0; i < kHandledSignals.size(); ++i) {
        struct sigaction current {};
        if (::sigaction(kHandledSignals[i], nullptr, &current) != 0) continue;
        if (current.sa_handler == SIG_IGN && (current.sa_flags & SA_SIGINFO) == 0) continue;
        struct sigaction handler {};
        handler.sa_sigaction = onEndingSignal;
        handler.sa_flags = SA_SIGINFO;
        sigemptyset(&handler.sa_mask);
        for (int other : kHandledSignals) sigaddset(&handler.sa_mask, other);
        if (::sigaction(kHandledSignals[i], &handler, &session.previousActions[i]) == 0)
            session.handlerInstalled[i] = true;
    }
}

void removeSignalHandlers() {
    for (std::size_t i = 0; i < kHandledSignals.size(); ++i) {
        if (!session.handlerInstalled[i]) continue;
        ::sigaction(kHandledSignals[i], &session.previousActions[i], nullptr);
        session.handlerInstalled[i] = false;
    }
}

// Leaves curses mode and puts every handler back; safe to call more than once.
void endTerminalSession() {
    if (session.active != 0 && session.screen != nullptr) {
        ::curs_set(1);
        ::endwin();
    }
    session.active = 0;
    removeSignalHandlers();
    if (session.previousTerminate != nullptr) {
        std::set_terminate(session.previousTerminate);
        session.previousTerminate = nullptr;
    }
    if (session.screen != nullptr) {
        ::delscreen(session.screen);
        session.screen = nullptr;
    }
}

void endTerminalSessionAtExit() { endTerminalSession(); }

[[noreturn]] void endTerminalSessionOnTerminate() {
    const std::terminate_handler previous = session.previousTerminate;
    endTerminalSession();  // the message about the exception then lands on the normal screen
    if (previous != nullptr) previous();
    std::abort();
}

bool isCapability(const char* value) { return value != nullptr && value != reinterpret_cast<char*>(-1); }

// Appends a terminfo string with its padding ("$<5>") left out.
void appendCapability(std::string& bytes, const char* name) {
    const char* value = ::tigetstr(name);
    if (!isCapability(value)) return;
    const std::string_view text(value);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '$' && i + 1 < text.size() && text[i + 1] == '<') {
            const std::size_t close = text.find('>', i);
            if (close != std::string_view::npos) {
                i = close;
                continue;
            }
        }
        bytes += text[i];
    }
}

void prepareResetBytes() {
    std::string bytes;
    appendCapability(bytes, "sgr0");
    appendCapability(bytes, "op");
    appendCapability(bytes, "cnorm");
    appendCapability(bytes, "rmkx");
    const std::size_t before = bytes.size();
    appendCapability(bytes, "rmcup");
    if (bytes.size() == before) bytes += "\r\n";  // no second screen: at least start a fresh line
    const std::size_t length = std::min(bytes.size(), kResetCapacity);
    std::memcpy(session.resetBytes, bytes.data(), length);
    session.resetLength = static_cast<std::sig_atomic_t>(length);
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string_view terminalName() {
    const char* name = std::getenv("TERM");
    return name == nullptr ? std::string_view() : std::string_view(name);
}

// Sends bytes curses knows nothing of. Curses empties its output buffer at
// the end of every update, so after one the bytes cannot land inside a
// sequence of its own.
void writeOutsideCurses(const std::string& bytes) {
    ::wnoutrefresh(stdscr);
    ::doupdate();
    writeAll(STDOUT_FILENO, bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------
// The device.

struct CellLook {
    attr_t attributes = A_NORMAL;
    short pair = 0;
};

class TerminalConsoleDevice final : public ConsoleDevice {
public:
    TerminalConsoleDevice();
    ~TerminalConsoleDevice() override { endTerminalSession(); }
    TerminalConsoleDevice(const TerminalConsoleDevice&) = delete;
    TerminalConsoleDevice& operator=(const TerminalConsoleDevice&) = delete;

    void present(const ScreenBuffer& screen) override;
    KeyPress readKey(const ScreenBuffer& screen) override;
    void showMessageBox(const ScreenBuffer& screen, std::string_view message,
                        std::string_view caption) override;
    void beep() override;
    void setTitle(std::string_view title) override;
    void requestSize(int columns, int rows) override;
    void keepShown(const ScreenBuffer& screen) override;

private:
    enum class ReadOutcome { Key, Resized, Closed };

    ReadOutcome readTerminal();
    KeyPress takeKey();
    CellLook lookOf(std::uint8_t attribute);
    cchar_t cellOf(wchar_t character, CellLook look) const;
    void putCell(int row, int column, const cchar_t& cell) const;
    void putText(int row, int column, std::string_view text, CellLook look, int lastColumn) const;
    ScreenView drawScreen(const ScreenBuffer& screen);
    void drawMessageBox(const ScreenBuffer& screen, std::string_view message, std::string_view caption);
    void placeCursor(const ScreenBuffer& screen, const ScreenView& view) const;

    int colourCount_ = 0;
    short nextPair_ = 1;
    std::array<bool, 256> lookKnown_{};
    std::array<CellLook, 256> looks_{};
    wchar_t eraseCharacter_ = 0;
    KeyByteDecoder decoder_;
    std::deque<KeyPress> keys_;  // read from the terminal, not yet taken
    bool inputClosed_ = false;
    std::vector<cchar_t> rowCells_;
    std::chrono::steady_clock::time_point lastSizeCheck_{};
};

TerminalConsoleDevice::TerminalConsoleDevice() {
    if (::has_colors() && ::start_color() == OK && COLOR_PAIRS > 1) colourCount_ = COLORS;
    const char erase = ::erasechar();
    if (erase != ERR) eraseCharacter_ = static_cast<unsigned char>(erase);
    // The whole terminal takes the strong colours, so no default background
    // shows anywhere, not even where the screen model does not reach.
    const cchar_t blank = cellOf(L' ', lookOf(kAttributeStrong));
    ::wbkgrnd(stdscr, &blank);
    ::werase(stdscr);
}

CellLook TerminalConsoleDevice::lookOf(std::uint8_t attribute) {
    if (lookKnown_[attribute]) return looks_[attribute];
    const TerminalColours colours = terminalColoursFor(attribute, colourCount_);
    CellLook look;
    if (colours.dim && (::termattrs() & A_DIM) != 0) look.attributes |= A_DIM;
    if (colours.bold) look.attributes |= A_BOLD;
    if (colours.usesColour) {
        if (nextPair_ < COLOR_PAIRS && ::init_pair(nextPair_, colours.foreground, colours.background) == OK) {
            look.pair = nextPair_++;
        } else if (attribute != kAttributeStrong) {
            look.pair = lookOf(kAttributeStrong).pair;  // out of pairs: at least the background stays
        }
    }
    lookKnown_[attribute] = true;
    looks_[attribute] = look;
    return look;
}

cchar_t TerminalConsoleDevice::cellOf(wchar_t character, CellLook look) const {
    cchar_t cell{};
    const wchar_t text[2] = {character, L'\0'};
    ::setcchar(&cell, text, look.attributes, look.pair, nullptr);
    return cell;
}

// Rows and columns 1-based; cells outside the terminal are left out.
void TerminalConsoleDevice::putCell(int row, int column, const cchar_t& cell) const {
    if (row < 1 || column < 1 || row > LINES || column > COLS) return;
    ::mvwadd_wchnstr(stdscr, row - 1, column - 1, &cell, 1);
}

void TerminalConsoleDevice::putText(int row, int column, std::string_view text, CellLook look,
                                    int lastColumn) const {
    for (const std::string& character : splitCharacters(text)) {
        if (column > lastColumn) return;
        putCell(row, column++, cellOf(displayCharacter(character), look));
    }
}

// Takes on a new terminal size at once, even while no key is read: curses
// itself notices one only when it reads a key or updates the terminal, which
// would show the next screen in the old size's view.
std::optional<winsize> terminalSize() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) return std::nullopt;
    return size;
}

bool differsFromCurses(const winsize& size) { return size.ws_row != LINES || size.ws_col != COLS; }

void followTerminalSize() {
    const std::optional<winsize> size = terminalSize();
    if (size && differsFromCurses(*size)) ::resizeterm(size->ws_row, size->ws_col);
}

// Draws the part of the screen the terminal shows at its top left and blanks
// the rest of the terminal.
ScreenView TerminalConsoleDevice::drawScreen(const ScreenBuffer& screen) {
    followTerminalSize();
    const ScreenView view = screenViewFor(screen, COLS, LINES);
    const int rows = view.rows;
    const int columns = view.columns;
    rowCells_.resize(static_cast<std::size_t>(columns));
    for (int row = 1; row <= rows; ++row) {
        for (int column = 1; column <= columns; ++column) {
            const ScreenCell& cell = cellAt(screen, view.firstRow + row - 1, view.firstColumn + column - 1);
            rowCells_[static_cast<std::size_t>(column - 1)] =
                cellOf(displayCharacter(cell.character), lookOf(cell.attribute));
        }
        // Writes the row as it is: no wrapping, no scrolling, not even in the last cell.
        if (columns > 0) ::mvwadd_wchnstr(stdscr, row - 1, 0, rowCells_.data(), columns);
        if (COLS > columns) {
            ::wmove(stdscr, row - 1, columns);
            ::wclrtoeol(stdscr);
        }
    }
    if (LINES > rows) {
        ::wmove(stdscr, rows, 0);
        ::wclrtobot(stdscr);
    }
    return view;
}

// The cursor shows where the model has it, if it is visible there and its
// cell is in view (it is unless the terminal has no cells at all).
void TerminalConsoleDevice::placeCursor(const ScreenBuffer& screen, const ScreenView& view) const {
    const int row = screen.cursorRow - view.firstRow;  // 0-based in the terminal
    const int column = screen.cursorColumn - view.firstColumn;
    const bool inside = row >= 0 && row < view.rows && column >= 0 && column < view.columns;
    if (screen.cursorVisible && inside) {
        ::wmove(stdscr, row, column);
        ::curs_set(1);
    } else {
        ::curs_set(0);
    }
}

void TerminalConsoleDevice::present(const ScreenBuffer& screen) {
    const ScreenView view = drawScreen(screen);
    placeCursor(screen, view);
    ::wnoutrefresh(stdscr);
    ::doupdate();
}

// The key press of a curses KEY_ code: Enter and Backspace; no character for
// arrows, function keys, Home and the like.
KeyPress keyPressForFunctionKey(int code) {
    if (code == KEY_ENTER) return KeyPress{"\r", false};
    if (code == KEY_BACKSPACE) return KeyPress{"\b", false};
    return KeyPress{"", false};
}

// Reads bytes and keys one at a time and decodes characters here rather than
// in curses' wide reader, which holds on to bytes that make no character and
// swallows the keys after them. Returns once a key press waits in keys_.
TerminalConsoleDevice::ReadOutcome TerminalConsoleDevice::readTerminal() {
    while (keys_.empty() && !inputClosed_) {
        errno = 0;
        const int code = ::wgetch(stdscr);
        if (code == ERR) {
            if (errno == EINTR) continue;  // a signal that was handled elsewhere
            inputClosed_ = true;           // end of input, or the terminal went away
            break;
        }
        if (code == KEY_RESIZE) return ReadOutcome::Resized;
        // Bytes of an unfinished character come before the key that cut them short.
        for (const TypedCharacter& typed :
             code > 0xFF ? flushKeyByteDecoder(decoder_) : decodeKeyByte(decoder_, static_cast<unsigned char>(code)))
            keys_.push_back(keyPressForTyped(typed, eraseCharacter_));
        if (code > 0xFF) keys_.push_back(keyPressForFunctionKey(code));
    }
    return keys_.empty() ? ReadOutcome::Closed : ReadOutcome::Key;
}

// Enter, Space and Escape close a message box.
bool closesMessageBox(const KeyPress& key) {
    return key.character.size() == 1 && (key.character[0] == '\r' || key.character[0] == ' ' || key.character[0] == '\x1b');
}

KeyPress TerminalConsoleDevice::takeKey() {
    KeyPress key = std::move(keys_.front());
    keys_.pop_front();
    return key;
}

KeyPress TerminalConsoleDevice::readKey(const ScreenBuffer& screen) {
    for (;;) {
        switch (readTerminal()) {
        case ReadOutcome::Closed:
            return KeyPress{"", true};
        case ReadOutcome::Resized:
            present(screen);
            continue;
        case ReadOutcome::Key:
            return takeKey();
        }
    }
}

void TerminalConsoleDevice::drawMessageBox(const ScreenBuffer& screen, std::string_view message,
                                           std::string_view caption) {
    // The box is centred in the part of the screen in view, in terminal cells.
    const ScreenView view = drawScreen(screen);
    const MessageBoxLayout layout = layoutMessageBox(message, caption, view.columns, view.rows);
    const CellLook look = lookOf(kAttributeStrong);
    const int right = layout.left + layout.width - 1;
    const int bottom = layout.top + layout.height - 1;

    // Line-drawing characters keep their own attributes (the alternate character
    // set on terminals without Unicode) and take the box's colours.
    const auto lineCell = [&](const cchar_t* line) {
        wchar_t text[CCHARW_MAX + 1] = {};
        attr_t attributes = A_NORMAL;
        short pair = 0;
        ::getcchar(line, text, &attributes, &pair, nullptr);
        cchar_t cell{};
        ::setcchar(&cell, text, attributes | look.attributes, look.pair, nullptr);
        return cell;
    };
    const cchar_t blank = cellOf(L' ', look);
    for (int row = layout.top; row <= bottom; ++row) {
        for (int column = layout.left; column <= right; ++column) {
            const bool topOrBottom = row == layout.top || row == bottom;
            const bool side = column == layout.left || column == right;
            cchar_t cell = blank;
            if (topOrBottom && side)
                cell = lineCell(row == layout.top ? (column == layout.left ? WACS_ULCORNER : WACS_URCORNER)
                                                  : (column == layout.left ? WACS_LLCORNER : WACS_LRCORNER));
            else if (topOrBottom)
                cell = lineCell(WACS_HLINE);
            else if (side)
                cell = lineCell(WACS_VLINE);
            putCell(row, column, cell);
        }
    }
    if (!layout.caption.empty()) {
        putCell(layout.top, layout.captionColumn - 1, blank);
        putText(layout.top, layout.captionColumn, layout.caption, look, right - 2);
        putCell(layout.top, layout.captionColumn + static_cast<int>(splitCharacters(layout.caption).size()), blank);
    }
    for (const MessageBoxLine& line : layout.lines) putText(line.row, line.column, line.text, look, right - 1);
    const CellLook button{look.attributes | A_REVERSE, look.pair};
    putText(layout.buttonRow, layout.buttonColumn, kMessageBoxButton, button, right - 1);

    ::curs_set(0);
    ::wnoutrefresh(stdscr);
    ::doupdate();
}

void TerminalConsoleDevice::showMessageBox(const ScreenBuffer& screen, std::string_view message,
                                           std::string_view caption) {
    drawMessageBox(screen, message, caption);
    for (;;) {
        const ReadOutcome outcome = readTerminal();
        if (outcome == ReadOutcome::Closed) break;
        if (outcome == ReadOutcome::Resized) {
            drawMessageBox(screen, message, caption);
            continue;
        }
        const KeyPress key = takeKey();
        if (closesMessageBox(key)) break;
    }
    present(screen);  // the screen under the box, exactly as it was
}

// Looks at the size at most every 50 ms, so that calling this after every piece
// of a long job costs next to nothing.
void TerminalConsoleDevice::keepShown(const ScreenBuffer& screen) {
    constexpr auto kSizeCheckInterval = std::chrono::milliseconds(50);
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSizeCheck_ < kSizeCheckInterval) return;
    lastSizeCheck_ = now;
    const std::optional<winsize> size = terminalSize();
    if (size && differsFromCurses(*size)) present(screen);
}

void TerminalConsoleDevice::beep() { ::beep(); }

void TerminalConsoleDevice::setTitle(std::string_view title) {
    // Views, not strings: g++ 12 at -O3 takes assigning a C string to a
    // std::string for an overlapping copy (a false -Wrestrict).
    std::string_view start;
    std::string_view finish;
    const char* statusLineStart = ::tigetstr("tsl");
    const char* statusLineFinish = ::tigetstr("fsl");
    const std::string_view name = terminalName();
    // A status line that takes a column parameter is a real status line, not a title.
    if (isCapability(statusLineStart) && isCapability(statusLineFinish) &&
        std::strchr(statusLineStart, '%') == nullptr) {
        start = statusLineStart;
        finish = statusLineFinish;
    } else if (startsWith(name, "xterm") || startsWith(name, "screen") || startsWith(name, "tmux") ||
               startsWith(name, "rxvt")) {
        start = "\x1b]0;";
        finish = "\x07";
    } else {
        return;
    }
    std::string sequence(start);
    for (const char byte : title)
        if (static_cast<unsigned char>(byte) >= 0x20 && byte != 0x7F) sequence += byte;  // no control bytes
    sequence += finish;
    writeOutsideCurses(sequence);
}

// Only xterm-like terminals know the window-size request; others keep their
// size, and the screen then shows as much as fits.
void TerminalConsoleDevice::requestSize(int columns, int rows) {
    if (columns < 1 || rows < 1 || (columns == COLS && rows == LINES)) return;
    if (!startsWith(terminalName(), "xterm")) return;
    writeOutsideCurses("\x1b[8;" + std::to_string(rows) + ";" + std::to_string(columns) + "t");
}

}  // namespace

std::variant<std::unique_ptr<ConsoleDevice>, std::string> openTerminalConsole() {
    if (session.active != 0 || session.screen != nullptr) return std::string("the terminal is already in use");
    if (::isatty(STDIN_FILENO) == 0) return std::string("standard input is not a terminal; run it in a terminal window");
    if (::isatty(STDOUT_FILENO) == 0)
        return std::string("standard output is not a terminal; run it in a terminal window");
    if (terminalName().empty()) return std::string("TERM is not set, so the terminal type is unknown");

    std::setlocale(LC_ALL, "");
    session.haveInputModes = ::tcgetattr(STDIN_FILENO, &session.inputModes) == 0;
    session.haveOutputModes = ::tcgetattr(STDOUT_FILENO, &session.outputModes) == 0;
    session.resetLength = 0;
    session.active = 1;  // from here a signal puts the saved modes back
    installSignalHandlers();

    SCREEN* screen = ::newterm(nullptr, stdout, stdin);
    if (screen == nullptr) {
        session.active = 0;
        removeSignalHandlers();
        return "cannot use the terminal type \"" + std::string(terminalName()) + "\"";
    }
    ::set_term(screen);
    if (!isCapability(::tigetstr("cup"))) {  // e.g. "dumb": lines would run together
        ::endwin();
        ::delscreen(screen);
        session.active = 0;
        removeSignalHandlers();
        return "the terminal type \"" + std::string(terminalName()) + "\" cannot place the cursor";
    }
    session.screen = screen;
    prepareResetBytes();
    if (!session.exitHookRegistered) session.exitHookRegistered = std::atexit(endTerminalSessionAtExit) == 0;
    session.previousTerminate = std::set_terminate(endTerminalSessionOnTerminate);

    ::raw();  // Ctrl+C and the like arrive as codes, no signals from keys
    ::noecho();
    ::nonl();
    ::meta(stdscr, TRUE);
    ::keypad(stdscr, TRUE);
    ::set_escdelay(kEscapeDelayMilliseconds);  // a bare Escape arrives soon as code 27
    return std::unique_ptr<ConsoleDevice>(new TerminalConsoleDevice());
}

}  // namespace vantorel::platform
