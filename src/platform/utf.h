// The one UTF-8 / UTF-16 codec: code-point steps that both programs and the
// Linux layer's name mapping use (base/unicode builds its conversions on it).
//
// The decoders never fail: a malformed sequence or lone surrogate decodes to
// INVALID_CODE_POINT and decoding resumes one unit later. Positions and
// lengths count bytes (UTF-8) or 16-bit units (UTF-16); at or beyond the
// length the decoders return 0. The encoders store only the units that fit
// below the capacity and always advance the position by the units needed.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t INVALID_CODE_POINT = 0xFFFFFFFFu;
constexpr uint32_t kMaxCodePoint = 0x10FFFF;
constexpr uint32_t kReplacementCharacter = 0xFFFD;

// Lenient UTF-8: any lead byte of up to four bytes with its continuation
// bytes decodes, overlong forms and surrogates included.
uint32_t utf8_decode_next(const char* text, uint64_t length, uint64_t pos, uint64_t* next);

// Strict UTF-8: only the shortest form of a Unicode scalar value decodes;
// anything else is INVALID_CODE_POINT with *next one byte on.
uint32_t utf8_decode_strict(const char* text, uint64_t length, uint64_t pos, uint64_t* next);

void utf8_encode_put(char* buffer, uint64_t capacity, uint64_t* pos, uint32_t cp);

// A surrogate pair decodes to its code point; a lone surrogate is invalid.
uint32_t utf16_decode_next(const WCHAR* units, uint64_t length, uint64_t pos, uint64_t* next);

// A code point beyond U+10FFFF is stored as U+FFFF.
void utf16_encode_put(WCHAR* buffer, uint64_t capacity, uint64_t* pos, uint32_t cp);

inline bool utf16_is_surrogate(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

// Name escapes of the Linux layer: a byte that a program name cannot hold as
// itself (posix/text.h says which) travels as the character U+F700 + byte.
// Only where the system's names are bytes (kSystemNamesAreBytes) do these
// characters stand for bytes; elsewhere they are characters like any other.
constexpr uint32_t kNameEscapeBase = 0xF700;
constexpr bool is_name_escape(uint32_t cp) { return cp >= kNameEscapeBase && cp <= kNameEscapeBase + 0xFF; }
// A byte that is no part of a character, as the unescaping decoder returns
// it: above every code point, ordered by the byte, below INVALID_CODE_POINT.
constexpr uint32_t kEscapedByteBase = 0xFFFFFE00u;

// Decodes as utf8_decode_next, and then what an escape stands for: an
// escaped byte below 0x80 is that character; a run of escaped bytes that is
// one valid UTF-8 sequence is that character (the mapping escapes a real
// U+F700..U+F7FF character so, and nothing else forms one); any other
// escaped byte is kEscapedByteBase + byte.
uint32_t utf8_decode_unescaped(const char* text, uint64_t length, uint64_t pos, uint64_t* next);
