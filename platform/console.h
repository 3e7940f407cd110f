#pragma once

#include <cstdio>

// What differs between systems about the process's standard streams.
namespace qzb::platform {

// Opens the null device on each of the descriptors 0, 1 and 2 that is closed, so that no archive
// or output file can get one of those numbers and receive console lines. Answers whether standard
// output was closed. Call before anything opens a file.
bool reopenClosedStandardStreams();

// Whether `stream` is a terminal (on Windows, a console).
bool isTerminal(std::FILE* stream);

// Makes `stream` carry bytes unchanged; on Windows a standard stream would turn LF into CRLF.
void useBinaryMode(std::FILE* stream);

} // namespace qzb::platform
