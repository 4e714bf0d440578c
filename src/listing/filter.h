// Filter patterns: which entries of a tree are delivered and which folders
// are entered, decided on the entry's path relative to the root.
//
// A filter argument is an optional sign ('+' include, '-' exclude; none means
// '+') and a pattern in which '*' matches any run of characters within one
// path element, '?' one character other than a separator and "**" any run of
// characters including separators. A prepared filter is the sign, the
// pattern in canonical path form, then "\**", so a filter names a path and
// everything below it: "-**.obj" becomes -**.obj\**, "tools/" +tools\**.
// Matching is exact on code points; '\' and '/' are both separators.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/memory.h"

// Most pending alternatives of one pattern search. A pattern complex enough
// to need more loses the excess and may fail to match.
constexpr int kPatternAlternatives = 50;

// Length meaning "runs to its terminator".
constexpr uint64_t kPatternToTerminator = UINT64_MAX;

// One prepared filter from `a` (the sign, the canonical pattern, "\**"),
// or null when an allocation fails (here or in the scratch pool used to
// build it): a caller preparing a list must test each result.
char* filter_prepare(Allocator* a, const char* argument);

// True when the entry with this relative path (ending in '\', as src\a.cpp\)
// is delivered: the last filter whose pattern matches decides by its sign;
// when none matches, the entry is selected exactly when there are no filters
// or the first one excludes. `filters` is a null-terminated prepared array or
// null.
bool filter_selects(const char* const* filters, const char* relative_path);

// True when the folder may hold selected entries and is worth entering:
// an exclude filter that matches the folder's relative path shuts it off, an
// include filter whose pattern overlaps the folder path with tail (src\**)
// opens it.
bool filter_may_descend(const char* const* filters, const char* relative_path,
                        const char* folder_with_tail);

// 1 when the pattern matches the whole text, else 0.
uint32_t pattern_match(const char* pattern, uint64_t pattern_length, const char* text,
                       uint64_t text_length);

// 1 when the search finds a path that both patterns describe, else 0.
uint32_t pattern_overlap(const char* a, uint64_t a_length, const char* b, uint64_t b_length);

// Branch steps taken by this thread's most recent search (a measure of its
// work that does not depend on the machine).
uint64_t pattern_search_work();
