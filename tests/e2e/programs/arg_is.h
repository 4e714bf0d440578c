// Argument matching shared by the small test programs.
#pragma once

#include <cstddef>

// True when the argument (narrow or wide) equals the ASCII word.
template <typename Char>
bool is(const Char* arg, const char* word) {
  size_t i = 0;
  for (; arg[i] && word[i]; ++i)
    if (arg[i] != static_cast<Char>(word[i])) return false;
  return arg[i] == 0 && word[i] == 0;
}
