// Text helpers shared by the Linux implementation of the system calls.
//
// Names: a Linux name is any bytes but '/' and NUL; the program sees names
// as UTF-16. Valid UTF-8 becomes the same characters. Everything else is
// carried by the escape units U+F700 + byte, which map back to that byte:
// a byte that is not part of valid UTF-8, a backslash (the program's
// separator), the dots of a name made only of three or more dots (which the
// program's paths would take as steps up) and a character of U+F700..U+F7FF
// itself (each of its bytes). So every name maps to a distinct UTF-16 name
// and back to the same bytes. Paths map '/' to '\' and back.
//
// A real U+F700..U+F7FF character is told from escaped bytes by its form:
// its escapes spell a valid UTF-8 sequence, which escaped bytes that are not
// UTF-8 never do. So the order of names and their print take it back as
// that character (utf8_decode_unescaped), and the Windows program, where
// these characters are only characters, needs nothing of it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix/api_base.h"
#include "platform/utf.h"

inline bool posix_is_letter(WCHAR c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }


// A POSIX path (bytes) to UTF-16 units as above. Stores the units that fit
// below `cap` and returns the units needed (no terminator).
size_t posix_units_from_utf8(const char* s, WCHAR* out, size_t cap);

// UTF-16 units to the POSIX path they stand for; a lone surrogate becomes
// U+FFFD. Terminates; false when the result does not fit `cap` bytes.
bool posix_bytes_from_units(const WCHAR* s, size_t n, char* out, size_t cap, size_t* len);

// A command-line argument: as posix_units_from_utf8 but '/' stays as it is
// (it also introduces a switch), and a leading "X:" that the program would
// read as a drive keeps its colon as a name character.
size_t posix_units_from_argument(const char* s, WCHAR* out, size_t cap);
