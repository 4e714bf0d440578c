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
