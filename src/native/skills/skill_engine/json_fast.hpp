// Reading plain JSON documents without the interpreter's json module.
//
// json.loads costs more than the rest of llm_json for the short objects a
// model answers with, most of it in Python-level calls around the scanner.
// This reader accepts only a conservative part of JSON and builds exactly
// what json.loads builds for it; for every other text it declines, and the
// caller runs json.loads, so errors and unusual values still come from json.
#pragma once

#include "text.hpp"

namespace zorvik::skills {

// Remembers the json module as the module body bound it, with what its
// loads reads, so that a later replacement of any of them is noticed.
void remember_json(Borrowed json);

// What json.loads(text[part.start:part.end]) returns, when `json` is still
// the remembered module with its own loads and that text keeps to the plain
// part of JSON; an empty Ref otherwise, and the caller asks json.loads.
Ref loads_plain(Borrowed json, Borrowed text, Span part);

}  // namespace zorvik::skills
