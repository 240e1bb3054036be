// Resource names as the Windows lookup compares them: UTF-16, in capitals.
// Host-only (recordlib, samplegen, tests).
#pragma once

#include <string>

namespace tools {

// The name in UTF-16 capitals. Capitals are given to the letters that have
// them among those Shift-JIS holds, which a title's file names can use: ASCII,
// full-width Latin, Greek, Cyrillic and the small Roman numerals. The updater's
// build gives payload names the same capitals. False for text that is not
// UTF-8, or that holds a zero.
bool ResourceNameUnits(const std::string& utf8, std::u16string* units);

// UTF-8 of UTF-16 units; a unit that is half a pair is shown as U+FFFD.
std::string Utf8OfUnits(const std::u16string& units);

// The UTF-8 name in the same capitals; text that is not UTF-8 gets ASCII capitals only.
std::string ResourceNameCapitals(const std::string& utf8);

}  // namespace tools
