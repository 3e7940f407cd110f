#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

namespace qzb {

// An entry name as a terminal shows it: each C0 control byte (00-1F), DEL (7F) and each byte
// of a C1 control in UTF-8 (C2 80 to C2 9F) becomes \xHH with upper-case digits; a backslash of
// the name is doubled when a backslash or an 'x' would be printed right after it. Everything else,
// valid UTF-8 or not, passes unchanged. Read back, "\\" is one backslash, "\xHH" one byte and any
// other backslash itself, so every escaped form stands for one name only.
std::string escapeName(std::string_view name);

// The run's standard output and standard error. Names are escaped only where standard output is
// a terminal; scripts reading a pipe or a file get the bytes as stored. A failed write to standard
// output is remembered by its stream, so the run can tell its caller that the report was lost.
class Console {
public:
    // `outputLost`: standard output was unusable before the run began (closed at start).
    Console(std::FILE* out, std::FILE* err, bool outIsTerminal, bool outputLost = false)
        : out_(out), err_(err), outIsTerminal_(outIsTerminal), outputLost_(outputLost) {}

    void print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), out_); }
    void printName(std::string_view name);
    // Whether printName() escapes: standard output is a terminal.
    bool escapesNames() const { return outIsTerminal_; }
    // Standard error, after whatever standard output holds, so that the lines keep their order.
    // In pieces, so that reporting a failed allocation allocates nothing.
    void printError(std::initializer_list<std::string_view> pieces);

    // Flushes standard output; false when it was closed at start or any write to it failed.
    bool outputWritten();

private:
    std::FILE* out_;
    std::FILE* err_;
    bool outIsTerminal_;
    bool outputLost_;
    std::string escaped_;
};

// The process's own console, its closed standard descriptors reopened on the null device
// (platform::reopenClosedStandardStreams); a standard output found closed counts as lost. Call
// before anything opens a file.
Console standardConsole();

} // namespace qzb
