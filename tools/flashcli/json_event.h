// Events as JSON, one object per line:
//   {"t":1.234,"event":"progress","handset":"A","current":4096,"percent":4}
// "t" and "event" come first, "handset" (many handsets only) next, then the
// fields of the event's kind. Texts from the library are 8-bit; bytes that
// are not UTF-8 are written as the characters U+0080..U+00FF.
#pragma once

#include <string>

#include "event.h"

// The line without its newline; `handset` empty: no "handset" member.
std::string JsonLine(const Event& event, const std::string& handset);
// Reads a line written by JsonLine. False when it is not one: any other
// syntax, an unknown member, or a member the event's kind lacks.
bool ReadJsonLine(const std::string& line, Event* event, std::string* handset);
